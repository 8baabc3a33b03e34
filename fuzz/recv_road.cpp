// SPDX-License-Identifier: GPL-2.0-or-later
// The whole receive road on arbitrary bytes: unpack as a two-layer or CL-only packet, then parse
// the container and decode its ID3 tag. The first byte sets the receiver up: bit 0 picks the
// packet kind (1: CL only), bits 1-3 switch the comment, commercial and UFID groups on.
//
// Besides not crashing, leaking or reading outside the input: a message the road takes must go
// the road again. It encodes, packs, unpacks and parses once more to the same ID3 tag. The genre
// is left out: libid3tag reads an ID3v2.3 genre that starts with '(' as the old numeric syntax
// ("(azz" comes back as "azz"), so such a genre changes on every road it takes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/zel_marlo.h"

namespace {

ZEL_MARLO_PSD_MSG_t *newHandle(uint8_t groups) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) std::abort();
  zel_marlo_enablePsdComment(msg, groups >> 1 & 1);
  zel_marlo_enablePsdCommercial(msg, groups >> 2 & 1);
  zel_marlo_enablePsdUfid(msg, groups >> 3 & 1);
  return msg;
}

[[noreturn]] void fail(const char *what, ZEL_MARLO_PSD_MSG_t *msg) {
  const char *report = zel_marlo_getErrorStr(msg);
  std::fprintf(stderr, "%s: %s\n", what, report != nullptr ? report : "");
  std::abort();
}

// The tag of a message, owned by the caller.
ZEL_MARLO_ID3_PSD_MSG_t *tagOf(ZEL_MARLO_PSD_MSG_t *msg) {
  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  if (zel_marlo_getId3PsdMsg(msg, &tag) != ZEL_MARLO_SUCCESS) fail("a taken message encodes", msg);
  return tag;
}

// Sends a taken message down the road and back; it must come back the same.
void roundTrip(ZEL_MARLO_PSD_MSG_t *msg, uint8_t groups, ZEL_MARLO_VESK_TYPE_t kind,
               uint16_t contentId) {
  zel_marlo_setPsdGenre(msg, nullptr);
  ZEL_MARLO_ID3_PSD_MSG_t *first = tagOf(msg);
  if (first->length > 0) {
    if (zel_marlo_createPsdMsg(msg, contentId) != ZEL_MARLO_SUCCESS) fail("create", msg);
    uint8_t *packet = nullptr;
    uint32_t length = 0;
    if (zel_marlo_sendPsdMsgToBuffer(msg, &packet, &length, kind, ZEL_MARLO_MSG_ID_PSD) !=
        ZEL_MARLO_SUCCESS)
      fail("pack", msg);
    ZEL_MARLO_PSD_MSG_t *again = newHandle(groups);
    ZEL_MARLO_MSG_ID_t id = -1;
    uint16_t contentIdAgain = 0;
    if (zel_marlo_recvPsdMsgFromBuffer(again, packet, length, kind, &id) != ZEL_MARLO_SUCCESS ||
        id != ZEL_MARLO_MSG_ID_PSD)
      fail("unpack again", again);
    if (zel_marlo_parsePsdMsg(again, &contentIdAgain) != ZEL_MARLO_SUCCESS)
      fail("parse again", again);
    if (contentIdAgain != contentId) fail("content id", again);
    ZEL_MARLO_ID3_PSD_MSG_t *second = tagOf(again);
    if (second->length != first->length ||
        std::memcmp(second->data, first->data, first->length) != 0)
      fail("the tag changed on the road", again);
    zel_marlo_freeId3PsdMsg(second);
    zel_marlo_deletePsdMsg(again);
    std::free(packet);
  }
  zel_marlo_freeId3PsdMsg(first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  const ZEL_MARLO_VESK_TYPE_t kind =
      setup & 1 ? ZEL_MARLO_VESK_TYPE_CL : ZEL_MARLO_VESK_TYPE_AFL_CL;
  ZEL_MARLO_PSD_MSG_t *msg = newHandle(setup);
  ZEL_MARLO_MSG_ID_t id = -1;
  if (zel_marlo_recvPsdMsgFromBuffer(msg, data + 1, static_cast<uint32_t>(size - 1), kind, &id) ==
          ZEL_MARLO_SUCCESS &&
      id == ZEL_MARLO_MSG_ID_PSD) {
    uint16_t contentId = 0;
    if (zel_marlo_parsePsdMsg(msg, &contentId) == ZEL_MARLO_SUCCESS) {
      char *text = zel_marlo_sprintPsdMsg(msg, 0);
      std::free(text);
      roundTrip(msg, setup, kind, contentId);
    }
  }
  zel_marlo_deletePsdMsg(msg);
  return 0;
}
