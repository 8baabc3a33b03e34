// SPDX-License-Identifier: GPL-2.0-or-later
// Time per operation of the road (Google Benchmark). Times are noisy on shared machines; the
// instruction counts of bench/icount.py are the figures that repeat.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/zel_marlo.h"
#include "bench/road_message.hpp"
#include "vesk/zel_crc.hpp"

namespace {

struct Message {
  Message() {
    zel_marlo_allocPsdMsg(&msg);
    zel::bench::fillDefaultMessage(msg);
  }
  ~Message() { zel_marlo_deletePsdMsg(msg); }
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
};

std::vector<uint8_t> defaultPacket(ZEL_MARLO_PSD_MSG_t *msg) {
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  zel_marlo_createPsdMsg(msg, 1);
  zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                               ZEL_MARLO_MSG_ID_PSD);
  std::vector<uint8_t> packet(buffer, buffer + length);
  std::free(buffer);
  return packet;
}

void BM_Render(benchmark::State &state) {
  Message m;
  for (auto _ : state) {
    ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
    zel_marlo_getId3PsdMsg(m.msg, &tag);
    zel_marlo_freeId3PsdMsg(tag);
  }
}
BENCHMARK(BM_Render);

void BM_Create(benchmark::State &state) {
  Message m;
  for (auto _ : state) zel_marlo_createPsdMsg(m.msg, 1);
}
BENCHMARK(BM_Create);

void BM_CreateAndPack(benchmark::State &state) {
  Message m;
  for (auto _ : state) {
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    zel_marlo_createPsdMsg(m.msg, 1);
    zel_marlo_sendPsdMsgToBuffer(m.msg, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                 ZEL_MARLO_MSG_ID_PSD);
    std::free(buffer);
  }
}
BENCHMARK(BM_CreateAndPack);

void BM_RecvAndParse(benchmark::State &state) {
  Message tx, rx;
  const std::vector<uint8_t> packet = defaultPacket(tx.msg);
  for (auto _ : state) {
    ZEL_MARLO_MSG_ID_t id;
    uint16_t contentId;
    zel_marlo_recvPsdMsgFromBuffer(rx.msg, packet.data(), static_cast<uint32_t>(packet.size()),
                                   ZEL_MARLO_VESK_TYPE_AFL_CL, &id);
    zel_marlo_parsePsdMsg(rx.msg, &contentId);
  }
}
BENCHMARK(BM_RecvAndParse);

void BM_Crc16(benchmark::State &state) {
  std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)), 0x5A);
  zel_crc_init();
  for (auto _ : state) {
    uint32_t crc = 0;
    zel_crc_calc(16, bytes.data(), static_cast<uint32_t>(bytes.size()), &crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(370)->Arg(32768);

// sendPsdMsg beside what the road prescribes for one datagram: look the host up, open a
// socket, send, close. Both send the same packet to a loopback port nobody reads.
constexpr int kDiscardPort = 9;

// Both time only the send itself, with the same clock (the container for each send is made
// outside the measured span).
using Clock = std::chrono::steady_clock;

void BM_SendPsdMsg(benchmark::State &state) {
  Message m;
  for (auto _ : state) {
    zel_marlo_createPsdMsg(m.msg, 1);
    const auto start = Clock::now();
    zel_marlo_sendPsdMsg(m.msg, "127.0.0.1", kDiscardPort, ZEL_MARLO_MSG_ID_PSD);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_SendPsdMsg)->UseManualTime();

void BM_BareOneShotSend(benchmark::State &state) {
  Message m;
  const std::vector<uint8_t> packet = defaultPacket(m.msg);
  for (auto _ : state) {
    const auto start = Clock::now();
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    if (getaddrinfo("127.0.0.1", nullptr, &hints, &res) != 0) continue;
    sockaddr_in to = *reinterpret_cast<sockaddr_in *>(res->ai_addr);
    freeaddrinfo(res);
    to.sin_port = htons(kDiscardPort);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_BareOneShotSend)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
