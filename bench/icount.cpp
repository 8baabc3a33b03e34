// SPDX-License-Identifier: GPL-2.0-or-later
// Instruction-count driver: runs each operation of the road N times inside one function and,
// under callgrind, dumps the instructions of each batch separately (client requests); it counts
// the heap allocations of each batch itself. bench/icount.py reads both and compares them with
// the budgets.
//
//   valgrind --tool=callgrind --collect-atstart=no build/bench/icount [N]
#include "bench/icount.hpp"

#include <id3tag.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "api/id3/guard.hpp"
#include "api/zel_marlo.h"
#include "bench/road_message.hpp"
#include "vesk/zel_crc.hpp"

namespace {

// What libid3tag's own parse (and release) of a tag costs, as the decoder hands it over: the
// floor of every decode, which no work of this library's can take off.
void measureLibid3tagParse(const char *name, int n, const std::vector<uint8_t> &tag) {
  const std::optional<std::vector<uint8_t>> plain = zel::id3::screenId3Tag(tag);
  if (!plain) {
    std::printf("%s: the guard refuses the tag\n", name);
    return;
  }
  measure(name, n, [&] { id3_tag_delete(id3_tag_parse(plain->data(), plain->size())); });
}

}  // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100;
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  ZEL_MARLO_PSD_MSG_t *rx = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS ||
      zel_marlo_allocPsdMsg(&rx) != ZEL_MARLO_SUCCESS)
    return 1;
  zel::bench::fillDefaultMessage(msg);
  // A receiver decodes with every group switched on, as the receive tool does.
  zel_marlo_enablePsdCore(rx, 1);
  zel_marlo_enablePsdComment(rx, 1);
  zel_marlo_enablePsdCommercial(rx, 1);
  zel_marlo_enablePsdUfid(rx, 1);
  FILE *sink = std::fopen("/dev/null", "w");
  if (sink == nullptr) return 1;

  // The packet every receive works on, and a warm-up of every path.
  uint8_t *packet = nullptr;
  uint32_t packetLength = 0;
  if (zel_marlo_createPsdMsg(msg, 1) != ZEL_MARLO_SUCCESS ||
      zel_marlo_sendPsdMsgToBuffer(msg, &packet, &packetLength, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                   ZEL_MARLO_MSG_ID_PSD) != ZEL_MARLO_SUCCESS) {
    std::printf("cannot build the packet: %s\n", zel_marlo_getErrorStr(msg));
    return 1;
  }
  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  zel_marlo_getId3PsdMsg(msg, &tag);
  std::printf("tag=%u packet=%u\n", tag->length, packetLength);
  const std::vector<uint8_t> sentTag(tag->data, tag->data + tag->length);
  zel_marlo_freeId3PsdMsg(tag);

  measure("render", n, [&] {
    ZEL_MARLO_ID3_PSD_MSG_t *t = nullptr;
    zel_marlo_getId3PsdMsg(msg, &t);
    zel_marlo_freeId3PsdMsg(t);
  });
  measure("create", n, [&] { zel_marlo_createPsdMsg(msg, 1); });
  measure("pack", n, [&] {
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    uncounted([&] { zel_marlo_createPsdMsg(msg, 1); });
    zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                 ZEL_MARLO_MSG_ID_PSD);
    free(buffer);
  });
  measure("recv_parse", n, [&] {
    ZEL_MARLO_MSG_ID_t id;
    uint16_t contentId;
    zel_marlo_recvPsdMsgFromBuffer(rx, packet, packetLength, ZEL_MARLO_VESK_TYPE_AFL_CL, &id);
    zel_marlo_parsePsdMsg(rx, &contentId);
  });
  measureLibid3tagParse("recv_parse_libid3tag", n, sentTag);
  // The tools' cycles, one message each. Transmit: fill, validate, print, create, send to a
  // buffer. Receive: receive from a buffer, parse, print.
  measure("tx_cycle", n, [&] {
    zel::bench::fillDefaultMessage(msg);
    zel_marlo_validatePsdMsg(msg);
    zel_marlo_fprintPsdMsg(msg, sink, 1);
    zel_marlo_createPsdMsg(msg, 1);
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                 ZEL_MARLO_MSG_ID_PSD);
    free(buffer);
  });
  measure("rx_cycle", n, [&] {
    ZEL_MARLO_MSG_ID_t id;
    uint16_t contentId;
    zel_marlo_recvPsdMsgFromBuffer(rx, packet, packetLength, ZEL_MARLO_VESK_TYPE_AFL_CL, &id);
    zel_marlo_parsePsdMsg(rx, &contentId);
    zel_marlo_fprintPsdMsg(rx, sink, 1);
  });

  // The worst input of at most 32 KiB known: a tag with a title of 32,000 characters, decoded
  // and then refused as too long to travel.
  std::vector<uint8_t> worst = {'I', 'D', '3', 3, 0, 0};
  const uint32_t title = 32000, frame = 10 + 1 + title;
  for (int shift : {21, 14, 7, 0}) worst.push_back(static_cast<uint8_t>(frame >> shift & 0x7F));
  for (uint8_t b : {'T', 'I', 'T', '2'}) worst.push_back(b);
  for (int shift : {24, 16, 8, 0}) worst.push_back(static_cast<uint8_t>((title + 1) >> shift));
  worst.insert(worst.end(), {0, 0, 0});
  worst.insert(worst.end(), title, 'a');
  const ZEL_MARLO_ID3_PSD_MSG_t worstTag{static_cast<uint32_t>(worst.size()), worst.data()};
  std::printf("worst_bytes=%zu\n", worst.size());
  measure("worst", n / 10 > 0 ? n / 10 : 1, [&] { zel_marlo_setId3PsdMsg(rx, &worstTag); });
  measureLibid3tagParse("worst_libid3tag", n / 10 > 0 ? n / 10 : 1, worst);

  std::vector<uint8_t> bytes(packet, packet + packetLength);
  measure("crc16", n, [&] {
    uint32_t crc = 0;
    zel_crc_calc(16, bytes.data(), static_cast<uint32_t>(bytes.size()), &crc);
  });
  std::printf("crc_bytes=%zu\n", bytes.size());

  free(packet);
  std::fclose(sink);
  zel_marlo_deletePsdMsg(rx);
  zel_marlo_deletePsdMsg(msg);
  return 0;
}
