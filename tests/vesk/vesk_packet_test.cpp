// SPDX-License-Identifier: GPL-2.0-or-later
// VESK packets byte for byte, and every way unpack turns a packet down.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/vesk_packets.hpp"
#include "vesk/zel_vesk.hpp"

namespace {

using zel::test::aflPacket;
using zel::test::AnyDesc;
using zel::test::be16;
using zel::test::be32;
using zel::test::Bytes;
using zel::test::operator+;
using zel::test::clPacket;
using zel::test::ExactUnpack;
using zel::test::Handle;
using zel::test::referenceCrc16;
using zel::test::resealed;
using zel::test::text;
using zel::test::withCrc;

// The flush message as the library sends it: msgId 1, sequence numbers 1, TAL fields 1 and 2.
const Bytes kFlushPacket = {
    0x41, 0x46,              // sync "AF"
    0x00, 0x00, 0x00, 0x10,  // L = 16
    0x00, 0x01,              // AFL sequence number
    0x90,                    // AFL version, CRC present
    0x69,                    // protocol 'i'
    0x10,                    // TAL version
    0x00,                    // TAL extension count
    0x01, 0x02,              // talField1, talField2
    0x10,                    // CL version
    0x00,                    // CL flags
    0x00, 0x01,              // CL sequence number
    0x00, 0x00, 0x00, 0x01,  // msgId: flush
    0x00, 0x00, 0x00, 0x00,  // CL payload length
    0x3E, 0x59,              // CRC-16
};

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

Bytes packWith(veskHandle *h, void *desc, uint32_t payloadLength, uint32_t expectRc = VESK_OK) {
  Bytes out(payloadLength + zel_vesk_overhead(h), 0xEE);
  uint32_t size = 0;
  EXPECT_EQ(zel_vesk_pack(h, desc, out.data(), &size), expectRc) << zel_vesk_errstr(h);
  out.resize(size);
  return out;
}

TEST(VeskPacket, FlushPacketOfTheLibrary) {
  Handle h(VESK_TYPE_AFL_CL);
  veskMsgDesc desc{1, 1, 0, 1, 2, 0, 0, nullptr};
  EXPECT_EQ(packWith(h.h, &desc, 0), kFlushPacket);
  EXPECT_EQ(desc.aflSeq, 0);  // pack leaves the descriptor alone

  veskMsgDesc got{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(h.h, kFlushPacket, &got), VESK_OK) << h.err();
  EXPECT_EQ(got.msgId, 1u);
  EXPECT_EQ(got.seq, 1u);
  EXPECT_EQ(got.flag, 0);
  EXPECT_EQ(got.talField1, 1);
  EXPECT_EQ(got.talField2, 2);
  EXPECT_EQ(got.aflSeq, 1);
  EXPECT_EQ(got.length, 0u);
  EXPECT_EQ(got.payload, unpack.data() + 26);
  EXPECT_STREQ(h.err(), "");
}

TEST(VeskPacket, PsdDataPacketForA112ByteContainer) {
  Handle h(VESK_TYPE_AFL_CL);
  const Bytes container = pattern(112);
  veskMsgDesc desc{0, 1, 0, 1, 2, 0, 112, container.data()};
  const Bytes packet = packWith(h.h, &desc, 112);
  ASSERT_EQ(packet.size(), 140u);

  const Bytes header = Bytes{0x41, 0x46} + be32(0x80) +
                       Bytes{0x00, 0x01, 0x90, 0x69, 0x10, 0x00, 0x01, 0x02} +
                       Bytes{0x10, 0x00, 0x00, 0x01} + be32(0) + be32(0x70);
  EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 26), header);
  EXPECT_EQ(Bytes(packet.begin() + 26, packet.end() - 2), container);
  EXPECT_EQ(Bytes(packet.end() - 2, packet.end()), be16(referenceCrc16(packet, 138)));

  veskMsgDesc got{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(h.h, packet, &got), VESK_OK) << h.err();
  EXPECT_EQ(got.msgId, 0u);
  EXPECT_EQ(got.length, 112u);
  EXPECT_EQ(got.payload, unpack.data() + 26);
}

TEST(VeskPacket, ClOnlyPacket) {
  Handle h(VESK_TYPE_CL);
  const Bytes payload = text("abc");
  veskClDesc desc{0, 1, 0, 3, payload.data()};
  const Bytes packet = packWith(h.h, &desc, 3);
  EXPECT_EQ(packet, (Bytes{0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,
                           'a', 'b', 'c'}));

  veskClDesc got{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(h.h, packet, &got), VESK_OK) << h.err();
  EXPECT_EQ(got.msgId, 0u);
  EXPECT_EQ(got.seq, 1u);
  EXPECT_EQ(got.length, 3u);
  EXPECT_EQ(got.payload, unpack.data() + 12);

  // Flag bit 0 travels; an empty packet is exactly its header.
  veskClDesc flagged{9, 0x1234, 1, 0, nullptr};
  const Bytes empty = packWith(h.h, &flagged, 0);
  EXPECT_EQ(empty, clPacket(9, 0x1234, {}, 0x01));
  ASSERT_EQ(unpack(h.h, empty, &got), VESK_OK);
  EXPECT_EQ(got.flag, 1);
  EXPECT_EQ(got.seq, 0x1234u);

  // A packet may say less than it carries; the length is delivered as written.
  ASSERT_EQ(unpack(h.h, clPacket(2, 0, text("abcd")) + text("zz"), &got), VESK_OK);
  EXPECT_EQ(got.length, 4u);
}

TEST(VeskPacket, PackWithoutPayloadBytesCountsThemOnly) {
  Handle h(VESK_TYPE_CL);
  veskClDesc desc{0, 0, 0, 3, nullptr};
  Bytes out(15, 0xEE);
  uint32_t size = 0;
  ASSERT_EQ(zel_vesk_pack(h.h, &desc, out.data(), &size), VESK_OK);
  EXPECT_EQ(size, 15u);
  EXPECT_EQ(Bytes(out.begin() + 12, out.end()), (Bytes{0xEE, 0xEE, 0xEE}));
}

TEST(VeskPacket, AflOnlyPacket) {
  Handle h(VESK_TYPE_AFL);
  const Bytes payload = text("xy");
  veskAflDesc desc{1, 2, 5, 2, payload.data()};
  const Bytes packet = packWith(h.h, &desc, 2);
  EXPECT_EQ(packet, withCrc(Bytes{0x41, 0x46, 0x00, 0x00, 0x00, 0x06, 0x00, 0x05, 0x90, 0x69, 0x10,
                                  0x00, 0x01, 0x02, 'x', 'y'}));

  veskAflDesc got{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(h.h, packet, &got), VESK_OK) << h.err();
  EXPECT_EQ(got.talField1, 1);
  EXPECT_EQ(got.talField2, 2);
  EXPECT_EQ(got.seq, 5);
  EXPECT_EQ(got.length, 2u);
  EXPECT_EQ(got.payload, unpack.data() + 14);
}

TEST(VeskPacket, CrcOffPacksVersion0x10AndAZeroTrailer) {
  Handle h(VESK_TYPE_AFL_CL);
  const uint8_t off = 0;
  ASSERT_EQ(zel_vesk_ctrl(h.h, VESK_CTRL_CRC, &off), VESK_OK);
  veskMsgDesc desc{1, 1, 0, 1, 2, 0, 0, nullptr};
  Bytes expected = kFlushPacket;
  expected[8] = 0x10;  // no CRC announced
  expected[26] = expected[27] = 0x00;
  EXPECT_EQ(packWith(h.h, &desc, 0), expected);
}

// Every sender setting against every receiver setting, for both AFL handle types: a packet with
// the CRC off says so (version 0x10, trailer 0000, still counted in L) and every receiver takes
// it without looking at the trailer; a packet with the CRC on carries a right one.
TEST(VeskPacket, CrcSwitchOfSenderAndReceiver) {
  const Bytes payload = text("payload");
  const uint32_t n = static_cast<uint32_t>(payload.size());
  for (const int32_t type : {VESK_TYPE_AFL, VESK_TYPE_AFL_CL}) {
    const uint32_t inner = type == VESK_TYPE_AFL ? n : n + 12;  // the AFL payload
    for (const uint8_t senderCrc : {uint8_t{0}, uint8_t{1}, uint8_t{2}}) {
      SCOPED_TRACE(testing::Message() << "type " << type << " sender crc " << int(senderCrc));
      Handle tx(type);
      ASSERT_EQ(zel_vesk_ctrl(tx.h, VESK_CTRL_CRC, &senderCrc), VESK_OK);
      AnyDesc desc;
      if (type == VESK_TYPE_AFL)
        desc.afl = {1, 2, 1, n, payload.data()};
      else
        desc.msg = {0, 1, 0, 1, 2, 0, n, payload.data()};
      const Bytes packet = packWith(tx.h, &desc, n);
      ASSERT_EQ(packet.size(), inner + 16);
      EXPECT_EQ(Bytes(packet.begin() + 2, packet.begin() + 6), be32(inner + 4));  // L
      // Only 1 switches the CRC on.
      const bool crc = senderCrc == 1;
      EXPECT_EQ(packet[8], crc ? 0x90 : 0x10);
      EXPECT_EQ(Bytes(packet.end() - 2, packet.end()),
                crc ? be16(referenceCrc16(packet, packet.size() - 2)) : (Bytes{0x00, 0x00}));

      for (const uint8_t receiverCrc : {uint8_t{0}, uint8_t{1}}) {
        Handle rx(type);
        ASSERT_EQ(zel_vesk_ctrl(rx.h, VESK_CTRL_CRC, &receiverCrc), VESK_OK);
        AnyDesc got;
        ExactUnpack unpack;
        ASSERT_EQ(unpack(rx.h, packet, &got), VESK_OK) << int(receiverCrc) << " " << rx.err();
        EXPECT_EQ(got.payload(type), unpack.data() + packet.size() - 2 - n);
        EXPECT_EQ(Bytes(got.payload(type), got.payload(type) + n), payload);
        // An AFL-only receiver follows the packet; a two-layer one keeps its own switch.
        EXPECT_EQ(rx->crcOn, type == VESK_TYPE_AFL ? (crc ? 1 : 0) : receiverCrc);
      }
    }
  }
}

TEST(VeskPacket, ExtensionWordsAreSkipped) {
  // E = 1 (bits 4-0 of the count byte are ignored): talField1 at 16, the payload at 18.
  const Bytes packet =
      withCrc(Bytes{'A', 'F'} + be32(10) + be16(0) +
              Bytes{0x90, 'i', 0x10, 0x3F, 0xA1, 0xA2, 0xA3, 0xA4, 7, 8, 'p', 'q'});
  Handle h(VESK_TYPE_AFL);
  veskAflDesc got{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(h.h, packet, &got), VESK_OK) << h.err();
  EXPECT_EQ(got.talField1, 7);
  EXPECT_EQ(got.talField2, 8);
  EXPECT_EQ(got.length, 2u);
  EXPECT_EQ(got.payload, unpack.data() + 18);
}

TEST(VeskPacket, CrcSwitchFollowsReceivedVersionOnAflOnlyHandles) {
  // Version 0x10: the trailer is not looked at.
  Bytes plain = aflPacket(0, text("xy"));
  plain[8] = 0x10;
  plain[16] = plain[17] = 0xAA;
  const Bytes withTrailer = aflPacket(0, text("xy"));

  Handle afl(VESK_TYPE_AFL);
  veskAflDesc aflDesc{};
  ExactUnpack unpack;
  ASSERT_EQ(unpack(afl.h, plain, &aflDesc), VESK_OK) << afl.err();
  EXPECT_EQ(afl->crcOn, 0);
  ASSERT_EQ(unpack(afl.h, withTrailer, &aflDesc), VESK_OK) << afl.err();
  EXPECT_EQ(afl->crcOn, 1);

  Handle two(VESK_TYPE_AFL_CL);
  veskMsgDesc msgDesc{};
  Bytes plainTwo = kFlushPacket;
  plainTwo[8] = 0x10;
  plainTwo[26] = plainTwo[27] = 0;
  ASSERT_EQ(unpack(two.h, plainTwo, &msgDesc), VESK_OK) << two.err();
  EXPECT_EQ(two->crcOn, 1);  // receiving leaves a two-layer handle's switch alone
}

std::string crcFailText(const Bytes &packet, uint16_t received) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "zel_vesk.cpp:0763 [crc fails: expected:%08X != recieved:%08X]",
                referenceCrc16(packet, packet.size() - 2), received);
  return buf;
}

Bytes with(Bytes b, size_t at, uint8_t value) {
  b.at(at) = value;
  return b;
}

TEST(VeskPacket, MalformedPacketsAreTurnedDownWithTheirText) {
  const Bytes cl = clPacket(0, 1, text("abc"));
  const Bytes afl = aflPacket(1, text("xy"));
  const Bytes two = aflPacket(1, cl);
  const Bytes aflFlipped = with(afl, 14, 'X');
  const Bytes twoFlipped = with(two, 20, 0x55);  // inside the CL header

  Bytes aflPlainLonger = with(afl, 8, 0x10) + Bytes{0};  // no CRC check: only L disagrees

  struct Case {
    const char *name;
    int32_t type;
    std::optional<Bytes> packet;  // none: a null pointer with nullSize
    uint32_t code;
    std::string text;
    uint32_t nullSize = 0;
  };
  const std::vector<Case> cases = {
      // CL
      {"cl null", VESK_TYPE_CL, std::nullopt, VESK_ERR,
       "zel_vesk.cpp:0291 [output data memory is null]", 12},
      {"cl 11 bytes", VESK_TYPE_CL, Bytes(cl.begin(), cl.begin() + 11), VESK_ERR,
       "zel_vesk.cpp:0353 [ packet size(11) less than min length (12)]"},
      {"cl version", VESK_TYPE_CL, with(cl, 0, 0x11), VESK_ERR_VERSION,
       "zel_vesk.cpp:0376 [cl version mismatch got 0x11 != expected 0x:10"},
      {"cl reserved bit 1", VESK_TYPE_CL, with(cl, 1, 0x03), VESK_ERR_RESERVED,
       "zel_vesk.cpp:0396 [invalid reserved val got 0x02 != expected :0x00"},
      {"cl reserved bit 7", VESK_TYPE_CL, with(cl, 1, 0x80), VESK_ERR_RESERVED,
       "zel_vesk.cpp:0396 [invalid reserved val got 0x80 != expected :0x00"},
      {"cl length past the end", VESK_TYPE_CL, with(cl, 11, 4), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0410 [cl length value(4) more than received payload bytes(3)]"},
      {"cl 12 bytes", VESK_TYPE_CL, clPacket(0, 1, {}), VESK_OK, ""},
      {"cl length all ones", VESK_TYPE_CL,
       with(with(with(with(cl, 8, 0xFF), 9, 0xFF), 10, 0xFF), 11, 0xFF), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0410 [cl length value(4294967295) more than received payload bytes(3)]"},
      // AFL
      {"afl 13 bytes", VESK_TYPE_AFL, Bytes(afl.begin(), afl.begin() + 13), VESK_ERR_PACKET,
       "zel_vesk.cpp:0610 [ packet size(13) less than min length (14)]"},
      {"afl null", VESK_TYPE_AFL, std::nullopt, VESK_ERR, "zel_vesk.cpp:0622 [data is NULL memory]",
       14},
      {"afl null short", VESK_TYPE_AFL, std::nullopt, VESK_ERR_PACKET,
       "zel_vesk.cpp:0610 [ packet size(0) less than min length (14)]", 0},
      {"afl sync", VESK_TYPE_AFL, with(afl, 0, 'B'), VESK_ERR_PACKET,
       "zel_vesk.cpp:0633 [invalid afl sync byte received{BF} != expected{AF}"},
      {"afl version", VESK_TYPE_AFL, with(afl, 8, 0x91), VESK_ERR_VERSION,
       "zel_vesk.cpp:0656 [unsupported afl version received(91) != expected(90)"},
      {"afl protocol", VESK_TYPE_AFL, with(afl, 9, 'j'), VESK_ERR_PACKET,
       "zel_vesk.cpp:0678 [unsupported protocol received ('j') != expected('i')"},
      {"afl tal version", VESK_TYPE_AFL, with(afl, 10, 0x20), VESK_ERR_VERSION,
       "zel_vesk.cpp:0692 [unsupported tal version received(20) != expected(10)"},
      {"afl crc over payload", VESK_TYPE_AFL, aflFlipped, VESK_ERR_CRC,
       crcFailText(aflFlipped, static_cast<uint16_t>(afl[16] << 8 | afl[17]))},
      {"afl crc trailer", VESK_TYPE_AFL, with(afl, 17, afl[17] ^ 0x01), VESK_ERR_CRC,
       crcFailText(afl, static_cast<uint16_t>(afl[16] << 8 | (afl[17] ^ 0x01)))},
      {"afl length beyond bytes", VESK_TYPE_AFL, with(afl, 5, 7), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0705 [afl length(7) and extension count(0) do not fit received size(18)]"},
      {"afl length below tal and crc", VESK_TYPE_AFL, with(afl, 5, 3), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0705 [afl length(3) and extension count(0) do not fit received size(18)]"},
      {"afl extension past the end", VESK_TYPE_AFL, with(afl, 11, 0xE0), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0705 [afl length(6) and extension count(7) do not fit received size(18)]"},
      {"afl length short of bytes", VESK_TYPE_AFL, aflPlainLonger, VESK_ERR_LENGTH,
       "zel_vesk.cpp:0817 [invalid length value actual(18) != received(19)]"},
      // AFL carrying CL: each layer's failure comes through with its own text.
      {"two 13 bytes", VESK_TYPE_AFL_CL, Bytes(two.begin(), two.begin() + 13), VESK_ERR_PACKET,
       "zel_vesk.cpp:0610 [ packet size(13) less than min length (14)]"},
      {"two crc in cl header", VESK_TYPE_AFL_CL, twoFlipped, VESK_ERR_CRC,
       crcFailText(twoFlipped, static_cast<uint16_t>(two[29] << 8 | two[30]))},
      {"two cl 11 bytes", VESK_TYPE_AFL_CL, aflPacket(1, Bytes(cl.begin(), cl.begin() + 11)),
       VESK_ERR, "zel_vesk.cpp:0353 [ packet size(11) less than min length (12)]"},
      {"two cl version", VESK_TYPE_AFL_CL, resealed(with(two, 14, 0x20)), VESK_ERR_VERSION,
       "zel_vesk.cpp:0376 [cl version mismatch got 0x20 != expected 0x:10"},
      {"two cl reserved", VESK_TYPE_AFL_CL, resealed(with(two, 15, 0x41)), VESK_ERR_RESERVED,
       "zel_vesk.cpp:0396 [invalid reserved val got 0x40 != expected :0x00"},
      {"two cl length past the end", VESK_TYPE_AFL_CL, resealed(with(two, 25, 0x09)),
       VESK_ERR_LENGTH,
       "zel_vesk.cpp:0410 [cl length value(9) more than received payload bytes(3)]"},
      {"two afl length", VESK_TYPE_AFL_CL, with(two, 5, 0x40), VESK_ERR_LENGTH,
       "zel_vesk.cpp:0705 [afl length(64) and extension count(0) do not fit received size(31)]"},
  };

  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Handle h(c.type);
    AnyDesc desc;
    uint32_t rc;
    if (c.packet) {
      ExactUnpack unpack;
      rc = unpack(h.h, *c.packet, &desc);
    } else {
      rc = zel_vesk_unpack(h.h, nullptr, c.nullSize, &desc);
    }
    EXPECT_EQ(rc, c.code);
    EXPECT_EQ(h.err(), c.text);
  }
}

TEST(VeskPacket, FailedUnpackDeliversWhatItRead) {
  Handle h(VESK_TYPE_AFL_CL);
  ExactUnpack unpack;
  // CRC failure: the AFL fields are delivered, the CL layer is not run.
  veskMsgDesc got{};
  const Bytes bad = with(kFlushPacket, 27, 0x00);
  ASSERT_EQ(unpack(h.h, bad, &got), VESK_ERR_CRC);
  EXPECT_EQ(got.talField1, 1);
  EXPECT_EQ(got.aflSeq, 1);
  EXPECT_EQ(got.msgId, 0u);
  EXPECT_EQ(got.payload, nullptr);

  // A CL length past the end: nothing of the CL layer points into the packet.
  veskMsgDesc cl{};
  ASSERT_EQ(unpack(h.h, resealed(with(kFlushPacket, 25, 1)), &cl), VESK_ERR_LENGTH);
  EXPECT_EQ(cl.payload, nullptr);
  EXPECT_EQ(cl.length, 0u);
  EXPECT_EQ(cl.talField2, 2);
}

// One bit flipped anywhere in a two-layer packet: the check that owns the byte turns it down.
TEST(VeskPacket, EveryFlippedByteIsCaught) {
  for (size_t at = 0; at < kFlushPacket.size(); ++at) {
    SCOPED_TRACE(at);
    uint32_t expected = VESK_ERR_CRC;  // sequence, TAL fields, the CL packet, the trailer
    if (at <= 1 || at == 9) expected = VESK_ERR_PACKET;    // sync, protocol
    if (at >= 2 && at <= 5) expected = VESK_ERR_LENGTH;    // L
    if (at == 8 || at == 10) expected = VESK_ERR_VERSION;  // AFL and TAL version
    Handle h(VESK_TYPE_AFL_CL);
    veskMsgDesc got{};
    ExactUnpack unpack;
    EXPECT_EQ(unpack(h.h, with(kFlushPacket, at, kFlushPacket[at] ^ 0x01), &got), expected)
        << h.err();
  }
}

// Every prefix of a valid packet fails, and nothing outside the given bytes is read.
TEST(VeskPacket, EveryTruncationFailsCleanly) {
  const Bytes cl = clPacket(0, 1, text("hello"));
  struct Case {
    int32_t type;
    Bytes packet;
  };
  for (const Case &c : {Case{VESK_TYPE_CL, cl}, Case{VESK_TYPE_AFL, aflPacket(1, text("hello"))},
                        Case{VESK_TYPE_AFL_CL, aflPacket(1, cl)}}) {
    for (size_t n = 0; n < c.packet.size(); ++n) {
      SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << n << " bytes");
      Handle h(c.type);
      AnyDesc desc;
      ExactUnpack unpack;
      EXPECT_NE(unpack(h.h, c.packet, n, &desc), VESK_OK);
      EXPECT_EQ(desc.payload(c.type), nullptr);
    }
    Handle h(c.type);
    AnyDesc desc;
    ExactUnpack unpack;
    EXPECT_EQ(unpack(h.h, c.packet, &desc), VESK_OK) << h.err();
  }
}

TEST(VeskPacket, BadHandlesAndArgumentsLeaveNoText) {
  veskClDesc desc{};
  uint8_t buf[64] = {};
  uint32_t size = 7;
  EXPECT_EQ(zel_vesk_pack(nullptr, &desc, buf, &size), VESK_ERR);
  EXPECT_EQ(zel_vesk_unpack(nullptr, buf, 12, &desc), VESK_ERR);

  Handle h(VESK_TYPE_CL);
  EXPECT_EQ(zel_vesk_pack(h.h, nullptr, buf, &size), VESK_ERR);
  EXPECT_EQ(zel_vesk_pack(h.h, &desc, buf, nullptr), VESK_ERR);
  EXPECT_EQ(zel_vesk_unpack(h.h, buf, 12, nullptr), VESK_ERR);
  h->type = 3;
  EXPECT_EQ(zel_vesk_pack(h.h, &desc, buf, &size), VESK_ERR);
  EXPECT_EQ(zel_vesk_unpack(h.h, buf, 12, &desc), VESK_ERR);
  h->type = VESK_TYPE_CL;
  EXPECT_STREQ(h.err(), "");
}

TEST(VeskPacket, PackIntoNoBufferFails) {
  struct Case {
    int32_t type;
    const char *text;
  };
  for (const Case &c : {Case{VESK_TYPE_CL, "zel_vesk.cpp:0291 [output data memory is null]"},
                        Case{VESK_TYPE_AFL, "zel_vesk.cpp:0545 [output data memory is null]"},
                        Case{VESK_TYPE_AFL_CL, "zel_vesk.cpp:0545 [output data memory is null]"}}) {
    Handle h(c.type, true);
    AnyDesc desc;
    uint32_t size = 99;
    EXPECT_EQ(zel_vesk_pack(h.h, &desc, nullptr, &size), VESK_ERR);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(h.err(), c.text);
    EXPECT_EQ(h->clSeq, 0);  // a failed pack uses up no sequence number
    EXPECT_EQ(h->aflSeq, 0);
  }
}

}  // namespace
