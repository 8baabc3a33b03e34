// SPDX-License-Identifier: GPL-2.0-or-later
// Tags shaped like the published defects of libid3tag, through every door of the library that
// takes outside bytes: zel_marlo_setId3PsdMsg, the receive road (both packet kinds) and
// zel_marlo_loadId3PsdFile. Each must end with the result in the table; none may hang, crash or
// take memory without bound. Each case runs in a child process with a time limit and, where no
// sanitizer or valgrind owns the address space, a limit on it, so that a libid3tag build that
// loops or allocates without end fails here rather than taking the test run down.
//  - CVE-2004-2779: UTF-16 text of an odd number of bytes made the parser loop for ever.
//  - CVE-2008-2109: a string list ending in its terminator made the parser loop for ever.
//  - CVE-2017-11550: empty text fields reached a NULL pointer.
//  - CVE-2017-11551: sizes larger than the tag made the parser allocate what they announced.
// (The defects the guard in front of libid3tag defuses, F1-F3, are in guard_test.cpp and in
// the receive road's table.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "api/receive_road_table.hpp"
#include "support/api_text.hpp"

namespace {

using zel::road::be32;
using zel::road::Bytes;
using zel::road::frame3;
using zel::road::frame4;
using zel::road::id3;
using zel::road::syncsafe;
using zel::road::text;
using zel::test::operator+;
using zel::test::own;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

bool underValgrind() {
  const char *preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

// What a door made of a tag: the title taken, or the report that refused it.
std::string titleOrReport(ZEL_MARLO_PSD_MSG_t *msg, int32_t rc) {
  if (rc == ZEL_MARLO_SUCCESS) return own(zel_marlo_getPsdTitle(msg));
  const char *report = zel_marlo_getErrorStr(msg);
  return std::string("refused: ") + (report != nullptr ? report : "<none>");
}

std::string throughSet(const Bytes &tag) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  zel_marlo_allocPsdMsg(&msg);
  auto exact = std::make_unique<uint8_t[]>(tag.size());
  std::copy(tag.begin(), tag.end(), exact.get());
  const ZEL_MARLO_ID3_PSD_MSG_t record{uint32_t(tag.size()), exact.get()};
  const std::string out = titleOrReport(msg, zel_marlo_setId3PsdMsg(msg, &record));
  zel_marlo_deletePsdMsg(msg);
  return out;
}

std::string throughRoad(const Bytes &tag, ZEL_MARLO_VESK_TYPE_t kind) {
  const Bytes cl = zel::road::clAround(zel::road::containerAround(tag));
  const Bytes datagram = kind == ZEL_MARLO_VESK_TYPE_CL ? cl : zel::road::frame(cl);
  auto exact = std::make_unique<uint8_t[]>(datagram.size());
  std::copy(datagram.begin(), datagram.end(), exact.get());
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  zel_marlo_allocPsdMsg(&msg);
  ZEL_MARLO_MSG_ID_t id = -1;
  uint16_t contentId = 0;
  int32_t rc =
      zel_marlo_recvPsdMsgFromBuffer(msg, exact.get(), uint32_t(datagram.size()), kind, &id);
  if (rc == ZEL_MARLO_SUCCESS) rc = zel_marlo_parsePsdMsg(msg, &contentId);
  const std::string out = titleOrReport(msg, rc);
  zel_marlo_deletePsdMsg(msg);
  return out;
}

std::string throughFile(const Bytes &tag) {
  char path[] = "/tmp/zel_id3_cve_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return "no scratch file";
  if (!tag.empty() && ::write(fd, tag.data(), tag.size()) != ssize_t(tag.size())) return "write";
  ::close(fd);
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  zel_marlo_allocPsdMsg(&msg);
  const std::string out = titleOrReport(msg, zel_marlo_loadId3PsdFile(msg, path));
  zel_marlo_deletePsdMsg(msg);
  std::remove(path);
  return out;
}

// The four doors in a child process. Its answer comes back through a pipe; a child that
// crashes, is stopped by the limits or does not answer in time is a failure.
std::string inChild(const Bytes &tag) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (!kSanitized && !underValgrind()) {
      rlimit as{};
      ::getrlimit(RLIMIT_AS, &as);
      // Far below what an announced size of 256 MiB or 4 GiB would take.
      as.rlim_cur = 1024ul * 1024 * 1024;
      ::setrlimit(RLIMIT_AS, &as);
    }
    ::alarm(underValgrind() ? 120 : 20);
    const std::string set = throughSet(tag);
    std::string answer = set;
    for (const std::string &other :
         {throughRoad(tag, ZEL_MARLO_VESK_TYPE_CL), throughRoad(tag, ZEL_MARLO_VESK_TYPE_AFL_CL)})
      answer += "\n" + other;
    answer += "\n" + throughFile(tag);
    if (::write(fds[1], answer.data(), answer.size()) != ssize_t(answer.size())) ::_exit(3);
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string answer;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) answer.append(buf, size_t(n));
  ::close(fds[0]);
  int status = 0;
  // The child's alarm bounds it; this wait is bounded as well.
  for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return "did not end";
  }
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "exit status " + std::to_string(WEXITSTATUS(status));
  return answer;
}

struct Case {
  const char *name;
  Bytes tag;
  std::string title;  // the title taken ("<null>": taken without one), or "" when refused
};

// Every door gives the same answer: the title, or a refusal with the door's own report.
void expectHandled(const Case &c) {
  SCOPED_TRACE(c.name);
  const std::string answer = inChild(c.tag);
  const std::string length = std::to_string(c.tag.size());
  const std::string expected =
      c.title.empty() ? "refused: orvo[822]: E_FORMAT id3 parse failed, len=" + length +
                            "\nrefused: orvo[1766]: SET_ID3 cannot set the id3Msg "
                            "\nrefused: orvo[1766]: SET_ID3 cannot set the id3Msg "
                            "\nrefused: orvo[822]: E_FORMAT id3 parse failed, len=" +
                            length
                      : c.title + "\n" + c.title + "\n" + c.title + "\n" + c.title;
  EXPECT_EQ(answer, expected);
}

const Bytes kTitle = frame3("TIT2", Bytes{0} + text("t"));
const Bytes kBom = {0xFF, 0xFE};

TEST(Id3Cve, Cve2004_2779_OddUtf16AndEndlessFrameSequences) {
  const Case cases[] = {
      {"UTF-16 title of one byte after the mark", id3(frame3("TIT2", Bytes{1} + kBom + text("a"))),
       "<null>"},
      {"UTF-16 title of three bytes", id3(frame3("TIT2", Bytes{1} + kBom + Bytes{'a', 0, 'b'})),
       "a"},
      {"UTF-16BE title of three bytes, v2.4", id3(frame4("TIT2", Bytes{2, 0, 'a', 0}), 4), "a"},
      {"UTF-16 comment description of one byte",
       id3(kTitle + frame3("COMM", Bytes{1} + text("eng") + kBom + Bytes{'x'})), "t"},
      {"a run of empty frames",
       id3(kTitle +
           [] {
             Bytes run;
             for (int i = 0; i < 500; ++i) run = run + text("TPE1") + be32(0) + Bytes{0, 0};
             return run;
           }()),
       ""},
      {"a tag inside a frame, sized as the tag around it",
       [] {
         Bytes inner = id3(kTitle);
         return id3(frame3("TALB", inner) + kTitle);
       }(),
       ""},
  };
  for (const Case &c : cases) expectHandled(c);
}

TEST(Id3Cve, Cve2008_2109_StringListsEndingInTheirTerminator) {
  const Case cases[] = {
      {"title list ending in 00", id3(frame3("TIT2", Bytes{0} + text("t") + Bytes{0})), "t"},
      {"artist list of terminators only", id3(kTitle + frame3("TPE1", Bytes(1000, 0))), "t"},
      {"UTF-16 title list ending in 00 00",
       id3(frame3("TIT2", Bytes{1} + kBom + Bytes{'t', 0, 0, 0})), "t"},
      {"genre list of two strings and a terminator",
       id3(kTitle + frame3("TCON", Bytes{0} + text("a") + Bytes{0} + text("b") + Bytes{0})), "t"},
      {"UTF-8 title list ending in 00, v2.4", id3(frame4("TIT2", Bytes{3, 't', 0}), 4), "t"},
  };
  for (const Case &c : cases) expectHandled(c);
}

TEST(Id3Cve, Cve2017_11550_EmptyTextFields) {
  const Case cases[] = {
      {"title of an encoding byte alone, before a full one", id3(frame3("TIT2", Bytes{0}) + kTitle),
       "<null>"},
      {"UTF-16 title of an encoding byte alone", id3(frame3("TIT2", Bytes{1})), "<null>"},
      {"UTF-16 title of its mark alone", id3(frame3("TIT2", Bytes{1} + kBom)), "<null>"},
      {"comment of encoding and language alone",
       id3(kTitle + frame3("COMM", Bytes{0} + text("eng"))), "t"},
      {"commercial frame of an encoding byte alone", id3(kTitle + frame3("COMR", Bytes{0})), ""},
      {"unique file identifier without data", id3(kTitle + frame3("UFID", {})), "t"},
      {"unique file identifier of an empty owner", id3(kTitle + frame3("UFID", Bytes{0})), "t"},
  };
  for (const Case &c : cases) expectHandled(c);
}

TEST(Id3Cve, Cve2017_11551_SizesLargerThanTheTag) {
  Bytes tagSize = id3(kTitle);
  tagSize = zel::road::put(tagSize, 6, syncsafe(0x0FFFFFFF));
  const Case cases[] = {
      {"v2.4 extended header of 256 MiB", id3(syncsafe(0x0FFFFFFF) + Bytes{1, 0} + kTitle, 4, 0x40),
       ""},
      {"v2.3 extended header of 4 GiB", id3(be32(0xFFFFFFFF) + Bytes{0, 0} + kTitle, 3, 0x40), ""},
      {"v2.4 frame of 256 MiB", id3(text("TIT2") + syncsafe(0x0FFFFFFF) + Bytes{0, 0, 0, 't'}, 4),
       ""},
      {"v2.3 frame of 4 GiB", id3(text("TIT2") + be32(0xFFFFFFFF) + Bytes{0, 0, 0, 't'}), ""},
      {"tag of 256 MiB", tagSize, ""},
      {"v2.4 data length of 256 MiB on a plain frame",
       id3(frame4("TIT2", syncsafe(0x0FFFFFFF) + Bytes{0, 't'}, 0x0001), 4), "t"},
  };
  for (const Case &c : cases) expectHandled(c);
}

}  // namespace
