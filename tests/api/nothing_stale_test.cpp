// SPDX-License-Identifier: GPL-2.0-or-later
// Nothing stale goes on air: a create that fails after one that succeeded leaves nothing to
// send, and a PSD packet without payload leaves nothing to parse; a flush keeps the container.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "support/api_text.hpp"
#include "support/vesk_packets.hpp"

namespace {

using zel::test::Bytes;
using zel::test::errorText;
using zel::test::own;

struct Msg {
  Msg() { EXPECT_EQ(zel_marlo_allocPsdMsg(&m), ZEL_MARLO_SUCCESS); }
  ~Msg() { zel_marlo_deletePsdMsg(m); }
  Msg(const Msg &) = delete;
  Msg &operator=(const Msg &) = delete;
  ZEL_MARLO_PSD_MSG_t *m = nullptr;
};

TEST(NothingStale, FailedCreateLeavesNothingToSend) {
  struct Case {
    const char *what;
    std::function<void(ZEL_MARLO_PSD_MSG_t *)> spoil;
    std::string report;
  } cases[] = {
      {"rule broken", [](auto m) { zel_marlo_setPsdComment(m, nullptr, "no title"); },
       "orvo[1020]: E_FORMAT comment title required "},
      {"tag too long", [](auto m) { zel_marlo_setPsdTitle(m, std::string(1100, 'x').c_str()); },
       "orvo[730]: E_FORMAT pad message too long, '1121 bytes'"},
      {"no frames", [](auto m) { zel_marlo_setPsdTitle(m, nullptr); },
       "orvo[1809]: E_SEND cannot send zero length pad message "},
  };
  for (const Case &c : cases) {
    Msg tx;
    zel_marlo_setPsdTitle(tx.m, "the earlier message");
    ASSERT_EQ(zel_marlo_createPsdMsg(tx.m, 1), ZEL_MARLO_SUCCESS);
    c.spoil(tx.m);
    EXPECT_EQ(zel_marlo_createPsdMsg(tx.m, 2), ZEL_MARLO_FAILURE) << c.what;
    EXPECT_EQ(errorText(tx.m), c.report) << c.what;

    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(tx.m, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                           ZEL_MARLO_MSG_ID_PSD),
              ZEL_MARLO_FAILURE)
        << c.what;
    EXPECT_EQ(buffer, nullptr) << c.what;
    std::free(buffer);
    EXPECT_EQ(errorText(tx.m), "orvo[2421]: E_SEND no PSD message created to send ") << c.what;
    EXPECT_EQ(zel_marlo_sendPsdMsg(tx.m, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD), ZEL_MARLO_FAILURE);
    EXPECT_EQ(zel_marlo_getErrorNum(tx.m), E_SEND) << c.what;
    EXPECT_EQ(errorText(tx.m), "orvo[2190]: E_SEND no PSD message created to send ") << c.what;
  }
}

TEST(NothingStale, PsdPacketWithoutPayloadLeavesNothingToParse) {
  using zel::test::aflPacket;
  using zel::test::clPacket;
  struct Case {
    const char *what;
    Bytes packet;
    ZEL_MARLO_VESK_TYPE_t kind;
    ZEL_MARLO_MSG_ID_t id;
    bool earlierParsed;  // the parse after it gives the earlier message
  } cases[] = {
      {"PSD, no payload, both layers", aflPacket(1, clPacket(0, 1, {})), ZEL_MARLO_VESK_TYPE_AFL_CL,
       ZEL_MARLO_MSG_ID_PSD, false},
      {"PSD, no payload, CL only", clPacket(0, 1, {}), ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_PSD,
       false},
      {"flush, both layers", aflPacket(1, clPacket(1, 1, {})), ZEL_MARLO_VESK_TYPE_AFL_CL,
       ZEL_MARLO_MSG_ID_FLUSH, true},
      {"flush, CL only", clPacket(1, 1, {}), ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_FLUSH, true},
  };
  for (const Case &c : cases) {
    Msg tx, rx;
    zel_marlo_setPsdTitle(tx.m, "the earlier message");
    ASSERT_EQ(zel_marlo_createPsdMsg(tx.m, 5), ZEL_MARLO_SUCCESS);
    uint8_t *earlier = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(zel_marlo_sendPsdMsgToBuffer(tx.m, &earlier, &length, ZEL_MARLO_VESK_TYPE_CL,
                                           ZEL_MARLO_MSG_ID_PSD),
              ZEL_MARLO_SUCCESS);
    ZEL_MARLO_MSG_ID_t id = -1;
    ASSERT_EQ(zel_marlo_recvPsdMsgFromBuffer(rx.m, earlier, length, ZEL_MARLO_VESK_TYPE_CL, &id),
              ZEL_MARLO_SUCCESS);
    std::free(earlier);

    ASSERT_EQ(zel_marlo_recvPsdMsgFromBuffer(rx.m, c.packet.data(),
                                             static_cast<uint32_t>(c.packet.size()), c.kind, &id),
              ZEL_MARLO_SUCCESS)
        << c.what << ": " << errorText(rx.m);
    EXPECT_EQ(id, c.id) << c.what;
    uint16_t contentId = 0;
    if (c.earlierParsed) {
      EXPECT_EQ(zel_marlo_parsePsdMsg(rx.m, &contentId), ZEL_MARLO_SUCCESS) << c.what;
      EXPECT_EQ(contentId, 5) << c.what;
      EXPECT_EQ(own(zel_marlo_getPsdTitle(rx.m)), "the earlier message") << c.what;
    } else {
      ::testing::internal::CaptureStdout();
      EXPECT_EQ(zel_marlo_parsePsdMsg(rx.m, &contentId), ZEL_MARLO_FAILURE) << c.what;
      ::testing::internal::GetCapturedStdout();
      EXPECT_EQ(errorText(rx.m), "orvo[1704]: VESK_PARSE psdmsg_parse error  ") << c.what;
      EXPECT_EQ(zel_marlo_getPsdTitle(rx.m), nullptr) << c.what;
    }
  }
}

}  // namespace
