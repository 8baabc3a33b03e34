// SPDX-License-Identifier: GPL-2.0-or-later
// Distinct handles on distinct threads at once: the first allocations of the process, then
// the whole road (create, send to a buffer, receive, parse, print) with some packets cut
// short so that reports quoting the shared VESK handle's error text are made and logged.
// Every thread must get its own results and its own report texts; built with
// -fsanitize=thread (scripts/test.sh --tsan) the run must give no report at all.
//
// The tests run in the order written: the first one makes the first handles of the process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/handle.hpp"
#include "support/api_text.hpp"
#include "support/log_capture.hpp"

namespace {

using zel::test::LogCapture;

constexpr int kThreads = 6;
constexpr int kRounds = 1000;

TEST(Threads, FirstAllocationsAtOnceShareOneSetUp) {
  std::latch start(kThreads);
  std::vector<ZEL_MARLO_PSD_MSG_t *> handles(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      EXPECT_EQ(zel_marlo_allocPsdMsg(&handles[t]), ZEL_MARLO_SUCCESS);
    });
  for (auto &th : threads) th.join();
  for (ZEL_MARLO_PSD_MSG_t *h : handles) {
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(zel_marlo_getErrorNum(h), 0);  // the set-up ran once and did not fail
    EXPECT_EQ(h->vesk, handles[0]->vesk);
    ASSERT_NE(h->vesk, nullptr);
    EXPECT_EQ(h->vesk->clSeqOn, 0);
    EXPECT_EQ(h->vesk->aflSeqOn, 0);
  }
  for (ZEL_MARLO_PSD_MSG_t *h : handles) EXPECT_EQ(zel_marlo_deletePsdMsg(h), ZEL_MARLO_SUCCESS);
}

std::string titleOf(int thread) { return "Title of thread " + std::to_string(thread); }

// A two-layer packet of the thread's message; cut > 0 drops that many bytes from its end.
std::vector<uint8_t> packetOf(ZEL_MARLO_PSD_MSG_t *msg, int thread, size_t cut) {
  zel_marlo_setPsdTitle(msg, titleOf(thread).c_str());
  zel_marlo_setPsdArtist(msg, "Artist");
  if (zel_marlo_createPsdMsg(msg, thread) != ZEL_MARLO_SUCCESS) return {};
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  if (zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                   ZEL_MARLO_MSG_ID_PSD) != ZEL_MARLO_SUCCESS) {
    std::free(buffer);
    return {};
  }
  std::vector<uint8_t> packet(buffer, buffer + length - std::min<size_t>(cut, length));
  std::free(buffer);
  return packet;
}

// What receiving the thread's cut packet reports, found on this thread alone.
std::string cutPacketReport(int thread) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  zel_marlo_allocPsdMsg(&msg);
  const std::vector<uint8_t> packet = packetOf(msg, thread, thread + 1);
  ZEL_MARLO_PSD_MSG_t *rx = nullptr;
  zel_marlo_allocPsdMsg(&rx);
  ZEL_MARLO_MSG_ID_t id{};
  zel_marlo_recvPsdMsgFromBuffer(rx, packet.data(), static_cast<uint32_t>(packet.size()),
                                 ZEL_MARLO_VESK_TYPE_AFL_CL, &id);
  std::string report = zel::test::errorText(rx);
  zel_marlo_deletePsdMsg(rx);
  zel_marlo_deletePsdMsg(msg);
  return report;
}

struct Outcome {
  int received = 0, refused = 0;
  std::vector<std::string> faults;
};

void runRoad(int thread, const std::string &cutReport, std::latch &start, Outcome &out) {
  auto fault = [&](const std::string &what) { out.faults.push_back(what); };
  FILE *printed = std::tmpfile();
  start.arrive_and_wait();
  for (int round = 0; round < kRounds; ++round) {
    ZEL_MARLO_PSD_MSG_t *tx = nullptr;
    ZEL_MARLO_PSD_MSG_t *rx = nullptr;
    if (zel_marlo_allocPsdMsg(&tx) != ZEL_MARLO_SUCCESS ||
        zel_marlo_allocPsdMsg(&rx) != ZEL_MARLO_SUCCESS)
      return fault("alloc");
    const bool cut = round % 3 == 0;
    const std::vector<uint8_t> packet = packetOf(tx, thread, cut ? thread + 1 : 0);
    if (packet.empty()) fault("send to buffer: " + zel::test::errorText(tx));
    ZEL_MARLO_MSG_ID_t id{};
    const int32_t received = zel_marlo_recvPsdMsgFromBuffer(
        rx, packet.data(), static_cast<uint32_t>(packet.size()), ZEL_MARLO_VESK_TYPE_AFL_CL, &id);
    if (cut) {
      ++out.refused;
      if (received != ZEL_MARLO_FAILURE) fault("a cut packet was taken");
      if (zel::test::errorText(rx) != cutReport) fault("report: " + zel::test::errorText(rx));
    } else {
      ++out.received;
      uint16_t contentId = 0;
      if (received != ZEL_MARLO_SUCCESS ||
          zel_marlo_parsePsdMsg(rx, &contentId) != ZEL_MARLO_SUCCESS)
        fault("receive: " + zel::test::errorText(rx));
      if (contentId != thread) fault("content id " + std::to_string(contentId));
      const std::string title = zel::test::own(zel_marlo_getPsdTitle(rx));
      if (title != titleOf(thread)) fault("title: " + title);
      const std::string text = zel::test::own(zel_marlo_sprintPsdMsg(rx, 1));
      if (text.find(titleOf(thread)) == std::string::npos) fault("printed: " + text);
      if (zel_marlo_fprintPsdMsg(rx, printed, 1) != ZEL_MARLO_SUCCESS) fault("fprint");
    }
    zel_marlo_deletePsdMsg(rx);
    zel_marlo_deletePsdMsg(tx);
  }
  std::fclose(printed);
}

TEST(Threads, OwnHandlesOnEachThreadRunTheWholeRoad) {
  std::vector<std::string> cutReports;
  for (int t = 0; t < kThreads; ++t) {
    cutReports.push_back(cutPacketReport(t));
    ASSERT_NE(cutReports.back(), "");
    if (t > 0) {
      ASSERT_NE(cutReports[t], cutReports[t - 1]);  // each thread's report is its own
    }
  }

  LogCapture log;
  std::latch start(kThreads);
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(runRoad, t, std::cref(cutReports[t]), std::ref(start),
                         std::ref(outcomes[t]));
  for (auto &th : threads) th.join();

  int refused = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(outcomes[t].faults, std::vector<std::string>{}) << "thread " << t;
    EXPECT_EQ(outcomes[t].received + outcomes[t].refused, kRounds);
    refused += outcomes[t].refused;
  }
  // The log holds exactly the reports made, each a whole line of its own.
  std::multiset<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < outcomes[t].refused; ++i) expected.insert(cutReports[t]);
  std::multiset<std::string> lines;
  std::istringstream in(log.take());
  for (std::string line; std::getline(in, line);) lines.insert(line);
  EXPECT_EQ(static_cast<int>(lines.size()), refused);
  EXPECT_EQ(lines, expected);
}

// Logging switched on and off while other threads report: a line is whole or not written.
TEST(Threads, LogSwitchedWhileThreadsReport) {
  std::latch start(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < 200; ++i) zel_marlo_getErrorNum(nullptr);
    });
  FILE *sink = std::tmpfile();
  start.arrive_and_wait();
  for (int i = 0; i < 200; ++i) zel_marlo_enableErrorLog(i % 2 == 0 ? 1 : 0, sink);
  for (auto &th : threads) th.join();
  zel_marlo_enableErrorLog(0, nullptr);
  std::rewind(sink);
  char line[256];
  while (std::fgets(line, sizeof line, sink) != nullptr)
    EXPECT_STREQ(line, "orvoapi[1336]: BAD HANDLE - handle=0x0\n");
  std::fclose(sink);
}

}  // namespace
