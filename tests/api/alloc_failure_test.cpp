// SPDX-License-Identifier: GPL-2.0-or-later
// Every operation of the road with each of its allocations failing in turn.
//
// This program puts a malloc of its own in front of the C library's (as the benchmarks' counting
// allocator does): once armed with n, the nth allocation from then on returns null, and so does
// operator new, which throws std::bad_alloc. Each operation runs with n = 1, 2, ... until it
// gets through without reaching its nth allocation. At every step it must fail cleanly (2, a
// null text or block) or succeed, the handle must still work afterwards, and the log must hold
// the report that names the failure. Over the whole table each out-of-memory report site is
// reached at least once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <regex>
#include <set>
#include <string>

#include "api/zel_marlo.h"
#include "support/api_text.hpp"
#include "support/log_capture.hpp"
#include "support/message_fill.hpp"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {

long g_countdown = 0;  // 0: disarmed; n: the nth allocation from now fails

bool failsNow() { return g_countdown > 0 && --g_countdown == 0; }

}  // namespace

extern "C" void *malloc(size_t n) noexcept { return failsNow() ? nullptr : __libc_malloc(n); }
extern "C" void *calloc(size_t n, size_t m) noexcept {
  return failsNow() ? nullptr : __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) noexcept {
  return failsNow() ? nullptr : __libc_realloc(p, n);
}
extern "C" void free(void *p) noexcept { __libc_free(p); }

namespace {

// One row: what the operation needs set up (allocations allowed), and the operation itself,
// whose result says whether it succeeded.
struct Operation {
  const char *name;
  std::function<bool(ZEL_MARLO_PSD_MSG_t *msg)> run;
};

ZEL_MARLO_PSD_MSG_t *filledMessage() {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  EXPECT_EQ(zel_marlo_allocPsdMsg(&msg), ZEL_MARLO_SUCCESS);
  zel::test::fillEveryField(msg);
  zel::test::enableEveryGroup(msg);
  return msg;
}

// A packet of the filled message, made without failures.
std::vector<uint8_t> packetOf(ZEL_MARLO_VESK_TYPE_t kind) {
  ZEL_MARLO_PSD_MSG_t *tx = filledMessage();
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(zel_marlo_createPsdMsg(tx, 7), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(tx, &buffer, &length, kind, ZEL_MARLO_MSG_ID_PSD),
            ZEL_MARLO_SUCCESS);
  std::vector<uint8_t> packet(buffer, buffer + length);
  std::free(buffer);
  zel_marlo_deletePsdMsg(tx);
  return packet;
}

std::string tempPath(const char *stem) {
  return (std::string(::testing::TempDir()) + stem + std::to_string(::getpid()));
}

TEST(AllocationFailure, EveryOperationFailsCleanlyAndReportsIt) {
  const std::vector<uint8_t> twoLayer = packetOf(ZEL_MARLO_VESK_TYPE_AFL_CL);
  const std::vector<uint8_t> clOnly = packetOf(ZEL_MARLO_VESK_TYPE_CL);
  const std::string saved = tempPath("alloc_failure_saved");
  const std::string savedAgain = saved + ".out";
  {
    ZEL_MARLO_PSD_MSG_t *msg = filledMessage();
    ASSERT_EQ(zel_marlo_saveId3PsdFile(msg, saved.c_str()), ZEL_MARLO_SUCCESS);
    zel_marlo_deletePsdMsg(msg);
  }

  const Operation operations[] = {
      {"alloc",
       [](ZEL_MARLO_PSD_MSG_t *) {
         ZEL_MARLO_PSD_MSG_t *other = nullptr;
         if (zel_marlo_allocPsdMsg(&other) != ZEL_MARLO_SUCCESS) return false;
         zel_marlo_deletePsdMsg(other);
         return true;
       }},
      {"set title",
       [](ZEL_MARLO_PSD_MSG_t *m) {
         return zel_marlo_setPsdTitle(m,
                                      "A title long enough for the heap, not the small buffer") ==
                ZEL_MARLO_SUCCESS;
       }},
      {"get title",
       [](ZEL_MARLO_PSD_MSG_t *m) {
         char *title = zel_marlo_getPsdTitle(m);
         std::free(title);
         return title != nullptr;
       }},
      {"validate",
       [](ZEL_MARLO_PSD_MSG_t *m) { return zel_marlo_validatePsdMsg(m) == ZEL_MARLO_SUCCESS; }},
      {"get tag",
       [](ZEL_MARLO_PSD_MSG_t *m) {
         ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
         if (zel_marlo_getId3PsdMsg(m, &tag) != ZEL_MARLO_SUCCESS) return false;
         zel_marlo_freeId3PsdMsg(tag);
         return true;
       }},
      {"create",
       [](ZEL_MARLO_PSD_MSG_t *m) { return zel_marlo_createPsdMsg(m, 7) == ZEL_MARLO_SUCCESS; }},
      {"sprint",
       [](ZEL_MARLO_PSD_MSG_t *m) {
         char *text = zel_marlo_sprintPsdMsg(m, 1);
         std::free(text);
         return text != nullptr;
       }},
      {"save",
       [&savedAgain](ZEL_MARLO_PSD_MSG_t *m) {
         return zel_marlo_saveId3PsdFile(m, savedAgain.c_str()) == ZEL_MARLO_SUCCESS;
       }},
      {"load",
       [&saved](ZEL_MARLO_PSD_MSG_t *m) {
         return zel_marlo_loadId3PsdFile(m, saved.c_str()) == ZEL_MARLO_SUCCESS;
       }},
      {"receive two-layer + parse",
       [&twoLayer](ZEL_MARLO_PSD_MSG_t *m) {
         ZEL_MARLO_MSG_ID_t id = -1;
         uint16_t contentId = 0;
         return zel_marlo_recvPsdMsgFromBuffer(m, twoLayer.data(), uint32_t(twoLayer.size()),
                                               ZEL_MARLO_VESK_TYPE_AFL_CL,
                                               &id) == ZEL_MARLO_SUCCESS &&
                zel_marlo_parsePsdMsg(m, &contentId) == ZEL_MARLO_SUCCESS;
       }},
      {"receive CL",
       [&clOnly](ZEL_MARLO_PSD_MSG_t *m) {
         ZEL_MARLO_MSG_ID_t id = -1;
         return zel_marlo_recvPsdMsgFromBuffer(m, clOnly.data(), uint32_t(clOnly.size()),
                                               ZEL_MARLO_VESK_TYPE_CL, &id) == ZEL_MARLO_SUCCESS;
       }},
  };
  // Packing needs a prepared container, made before the failures are armed.
  auto packInto = [](ZEL_MARLO_VESK_TYPE_t kind, ZEL_MARLO_MSG_ID_t id) {
    return [kind, id](ZEL_MARLO_PSD_MSG_t *m) {
      uint8_t *b = nullptr;
      uint32_t n = 0;
      const bool ok = zel_marlo_sendPsdMsgToBuffer(m, &b, &n, kind, id) == ZEL_MARLO_SUCCESS;
      std::free(b);
      return ok;
    };
  };
  const Operation packing[] = {
      {"pack two-layer PSD", packInto(ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_PSD)},
      {"pack CL PSD", packInto(ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_PSD)},
      {"pack CL flush", packInto(ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_FLUSH)},
  };

  zel::test::LogCapture log;
  std::set<int> sitesReported;
  const std::regex report(R"(orvo\[(\d+)\]: )");
  auto sweep = [&](const Operation &op, bool prepareContainer) {
    for (long n = 1;; ++n) {
      ZEL_MARLO_PSD_MSG_t *msg = filledMessage();
      if (prepareContainer) {
        ASSERT_EQ(zel_marlo_createPsdMsg(msg, 7), ZEL_MARLO_SUCCESS);
      }
      log.take();
      g_countdown = n;
      bool ok = false;
      bool escaped = false;
      try {
        ok = op.run(msg);
      } catch (const std::bad_alloc &) {
        escaped = true;
      }
      const bool reached = g_countdown == 0;
      g_countdown = 0;
      EXPECT_FALSE(escaped) << op.name << ": an allocation failure crossed the C boundary, n=" << n;
      const std::string logged = log.take();
      for (std::sregex_iterator it(logged.begin(), logged.end(), report), end; it != end; ++it)
        sitesReported.insert(std::stoi((*it)[1]));
      if (!ok) {
        EXPECT_TRUE(reached) << op.name << ": failed with no allocation failing";
      }

      // Whatever happened, the handle is still a working handle.
      zel::test::fillEveryField(msg);
      EXPECT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_SUCCESS) << op.name << " n=" << n;
      zel_marlo_deletePsdMsg(msg);
      if (!reached) break;  // the operation needs fewer than n allocations: all were tried
      ASSERT_LT(n, 5000) << op.name;
    }
  };
  for (const Operation &op : operations) sweep(op, false);
  for (const Operation &op : packing) sweep(op, true);
  std::remove(saved.c_str());
  std::remove(savedAgain.c_str());

  // The out-of-memory reports: control block, ID3 model, tag, record, print buffer, file
  // buffer, container, and the temporary CL handles of packing and unpacking.
  for (int site : {1382, 716, 744, 3134, 1533, 1837, 2471, 2616, 2053})
    EXPECT_TRUE(sitesReported.count(site)) << "report site " << site << " never reached";
}

}  // namespace
