// SPDX-License-Identifier: GPL-2.0-or-later
// Sequence numbering of both layers, and finding packet starts in a byte stream.
#include <gtest/gtest.h>

#include <vector>

#include "support/vesk_packets.hpp"
#include "vesk/zel_vesk.hpp"

namespace {

using zel::test::aflPacket;
using zel::test::be16;
using zel::test::be32;
using zel::test::Bytes;
using zel::test::operator+;
using zel::test::clPacket;
using zel::test::ExactUnpack;
using zel::test::Handle;
using zel::test::text;

constexpr bool kNumbered = true;

Bytes packCl(veskHandle *h, veskClDesc &desc) {
  Bytes out(desc.length + 12);
  uint32_t size = 0;
  EXPECT_EQ(zel_vesk_pack(h, &desc, out.data(), &size), VESK_OK);
  out.resize(size);
  return out;
}

TEST(VeskSequence, ClPackNumbersPacketsAndWraps) {
  Handle tx(VESK_TYPE_CL, kNumbered);
  veskClDesc desc{0, 77, 0, 0, nullptr};
  EXPECT_EQ(packCl(tx.h, desc), clPacket(0, 0, {}));
  EXPECT_EQ(desc.seq, 0u);  // the number used is handed back
  EXPECT_EQ(packCl(tx.h, desc), clPacket(0, 1, {}));
  EXPECT_EQ(desc.seq, 1u);

  tx->clSeq = 0xFFFF;
  EXPECT_EQ(packCl(tx.h, desc), clPacket(0, 0xFFFF, {}));
  EXPECT_EQ(packCl(tx.h, desc), clPacket(0, 0x0000, {}));
  EXPECT_EQ(tx->clSeq, 1);
}

TEST(VeskSequence, ClUnpackExpectsTheNextNumberAndResynchronises) {
  Handle rx(VESK_TYPE_CL, kNumbered);
  veskClDesc got{};
  ExactUnpack unpack;
  EXPECT_EQ(unpack(rx.h, clPacket(4, 0, {}), &got), VESK_OK);
  EXPECT_EQ(unpack(rx.h, clPacket(4, 1, {}), &got), VESK_OK);

  EXPECT_EQ(unpack(rx.h, clPacket(4, 5, text("ab")), &got), VESK_ERR_SEQ);
  EXPECT_STREQ(
      rx.err(),
      "zel_vesk.cpp:0423 [sequence number mismatch got 0x00000005 != expected :0x00000002");
  EXPECT_EQ(got.msgId, 4u);  // delivered all the same
  EXPECT_EQ(got.length, 2u);
  EXPECT_EQ(rx->clSeq, 6);
  EXPECT_EQ(unpack(rx.h, clPacket(4, 6, {}), &got), VESK_OK);

  rx->clSeq = 0xFFFF;
  EXPECT_EQ(unpack(rx.h, clPacket(4, 0xFFFF, {}), &got), VESK_OK);
  EXPECT_EQ(unpack(rx.h, clPacket(4, 0x0000, {}), &got), VESK_OK);

  // A mismatch at 0xFFFF resynchronises to 0x0000.
  rx->clSeq = 3;
  EXPECT_EQ(unpack(rx.h, clPacket(4, 0xFFFF, {}), &got), VESK_ERR_SEQ);
  EXPECT_EQ(rx->clSeq, 0);

  // Numbering off: any number is accepted and the counter stays.
  const uint8_t off = 0;
  ASSERT_EQ(zel_vesk_ctrl(rx.h, VESK_CTRL_CL_SEQ, &off), VESK_OK);
  EXPECT_EQ(unpack(rx.h, clPacket(4, 900, {}), &got), VESK_OK);
  EXPECT_EQ(rx->clSeq, 0);
}

TEST(VeskSequence, AflNumbersAdvanceOnlyForCompletedPackets) {
  Handle tx(VESK_TYPE_AFL, kNumbered);
  const Bytes payload = text("xy");
  veskAflDesc desc{1, 2, 99, 2, payload.data()};
  Bytes out(2 + 32);
  uint32_t size = 0;
  ASSERT_EQ(zel_vesk_pack(tx.h, &desc, out.data(), &size), VESK_OK);
  out.resize(size);
  EXPECT_EQ(out, aflPacket(0, payload));
  EXPECT_EQ(desc.seq, 0);
  EXPECT_EQ(tx->aflSeq, 1);

  Handle rx(VESK_TYPE_AFL, kNumbered);
  veskAflDesc got{};
  ExactUnpack unpack;
  EXPECT_EQ(unpack(rx.h, out, &got), VESK_OK);
  EXPECT_EQ(unpack(rx.h, aflPacket(5, payload), &got), VESK_ERR_SEQ);
  EXPECT_STREQ(
      rx.err(),
      "zel_vesk.cpp:0789 [ afl sequence no. mismatch received(00000005) != expected(00000001)");
  EXPECT_EQ(got.seq, 5);
  EXPECT_EQ(got.payload, unpack.data() + 14);
  EXPECT_EQ(rx->aflSeq, 6);
  EXPECT_EQ(unpack(rx.h, aflPacket(6, payload), &got), VESK_OK);

  rx->aflSeq = 0xFFFF;
  EXPECT_EQ(unpack(rx.h, aflPacket(0xFFFF, payload), &got), VESK_OK);
  EXPECT_EQ(unpack(rx.h, aflPacket(0x0000, payload), &got), VESK_OK);

  // A packet that fails before the number is checked leaves the counter.
  Bytes broken = aflPacket(1, payload);
  broken[14] ^= 0xFF;
  EXPECT_EQ(unpack(rx.h, broken, &got), VESK_ERR_CRC);
  EXPECT_EQ(rx->aflSeq, 1);

  // AFL numbering counts as on for any non-zero switch when receiving.
  rx->aflSeqOn = 2;
  EXPECT_EQ(unpack(rx.h, aflPacket(7, payload), &got), VESK_ERR_SEQ);
}

TEST(VeskSequence, TwoLayerCountersAdvanceLikeTheSingleLayers) {
  Handle tx(VESK_TYPE_AFL_CL, kNumbered);
  Handle rx(VESK_TYPE_AFL_CL, kNumbered);
  const Bytes container = text("container");
  ExactUnpack unpack;
  for (uint16_t n = 0; n < 3; ++n) {
    veskMsgDesc desc{0, 50, 0, 1, 2, 0, static_cast<uint32_t>(container.size()), container.data()};
    Bytes out(container.size() + 44);
    uint32_t size = 0;
    ASSERT_EQ(zel_vesk_pack(tx.h, &desc, out.data(), &size), VESK_OK);
    out.resize(size);
    EXPECT_EQ(desc.seq, 50u);  // pack never writes into a two-layer descriptor
    EXPECT_EQ(out, aflPacket(n, clPacket(0, n, container)));

    veskMsgDesc got{};
    ASSERT_EQ(unpack(rx.h, out, &got), VESK_OK) << rx.err();
    EXPECT_EQ(got.seq, n);
    EXPECT_EQ(got.aflSeq, n);
  }
  EXPECT_EQ(tx->clSeq, 3);
  EXPECT_EQ(tx->aflSeq, 3);

  // An AFL mismatch resynchronises the AFL counter; the CL layer is not run.
  veskMsgDesc got{};
  EXPECT_EQ(unpack(rx.h, aflPacket(9, clPacket(0, 3, {})), &got), VESK_ERR_SEQ);
  EXPECT_STREQ(
      rx.err(),
      "zel_vesk.cpp:0789 [ afl sequence no. mismatch received(00000009) != expected(00000003)");
  EXPECT_EQ(rx->aflSeq, 10);
  EXPECT_EQ(rx->clSeq, 3);
  EXPECT_EQ(got.msgId, 0u);

  // A CL mismatch inside a good AFL packet.
  EXPECT_EQ(unpack(rx.h, aflPacket(10, clPacket(8, 7, {})), &got), VESK_ERR_SEQ);
  EXPECT_STREQ(
      rx.err(),
      "zel_vesk.cpp:0423 [sequence number mismatch got 0x00000007 != expected :0x00000003");
  EXPECT_EQ(got.msgId, 8u);
  EXPECT_EQ(rx->aflSeq, 11);
  EXPECT_EQ(rx->clSeq, 8);
}

TEST(VeskSequence, NumberingOffCarriesTheDescriptorNumberInBothLayers) {
  Handle tx(VESK_TYPE_AFL_CL);
  veskMsgDesc desc{0, 0x12345, 0, 1, 2, 0, 0, nullptr};
  Bytes out(44);
  uint32_t size = 0;
  ASSERT_EQ(zel_vesk_pack(tx.h, &desc, out.data(), &size), VESK_OK);
  out.resize(size);
  EXPECT_EQ(out, aflPacket(0x2345, clPacket(0, 0x2345, {})));
  EXPECT_EQ(tx->clSeq, 0);
  EXPECT_EQ(tx->aflSeq, 0);
}

TEST(VeskSync, TwoStrayBytesInFrontOfAPacket) {
  Handle h(VESK_TYPE_AFL_CL);
  const Bytes packet = aflPacket(1, clPacket(0, 1, text("abc")));
  Bytes buffer = Bytes{0x00, 'A'} + packet;
  uint32_t len = static_cast<uint32_t>(buffer.size());
  uint32_t packetLen = 0;
  ASSERT_EQ(zel_vesk_sync(h.h, buffer.data(), &len, &packetLen), VESK_OK);
  EXPECT_EQ(len, packet.size());
  EXPECT_EQ(packetLen, packet.size());  // L + 12
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + len), packet);

  // A packet already at the start stays where it is.
  ASSERT_EQ(zel_vesk_sync(h.h, buffer.data(), &len, &packetLen), VESK_OK);
  EXPECT_EQ(len, packet.size());
}

TEST(VeskSync, NoPacketStartKeepsTheLastNineBytes) {
  Handle h(VESK_TYPE_AFL);
  Bytes nine = text("AF0000000");
  uint32_t len = 9, packetLen = 5;
  EXPECT_EQ(zel_vesk_sync(h.h, nine.data(), &len, &packetLen), VESK_ERR);
  EXPECT_EQ(len, 9u);
  EXPECT_EQ(packetLen, 0u);
  EXPECT_EQ(nine, text("AF0000000"));

  // A start whose version or protocol byte is wrong is no start.
  Bytes stream = text("xyz") + aflPacket(0, {});
  stream[3 + 9] = 'j';
  len = static_cast<uint32_t>(stream.size());
  EXPECT_EQ(zel_vesk_sync(h.h, stream.data(), &len, &packetLen), VESK_ERR);
  ASSERT_EQ(len, 9u);
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 9), Bytes(stream.end() - 9, stream.end()));

  // Version 0x10 is a start too.
  Bytes plain = text("q") + aflPacket(0, {});
  plain[1 + 8] = 0x10;
  len = static_cast<uint32_t>(plain.size());
  EXPECT_EQ(zel_vesk_sync(h.h, plain.data(), &len, &packetLen), VESK_OK);
  EXPECT_EQ(len, 16u);
}

TEST(VeskSync, PacketLengthDoesNotWrap) {
  // L + 12 as a 33-bit sum: a false start with a huge L never reads as a short packet.
  struct Case {
    uint32_t l;
    uint32_t packetLen;
  };
  const Case cases[] = {
      {0, 12},
      {4, 16},
      {0xFFFFFFF2u, 0xFFFFFFFEu},
      {0xFFFFFFF3u, 0xFFFFFFFFu},
      {0xFFFFFFF4u, 0xFFFFFFFFu},
      {0xFFFFFFFBu, 0xFFFFFFFFu},
      {0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Case &c : cases) {
    Handle h(VESK_TYPE_AFL);
    Bytes stream = text("zz") + Bytes{'A', 'F'} + be32(c.l) + be16(0) + Bytes{0x90, 'i', 0x10, 0};
    uint32_t len = static_cast<uint32_t>(stream.size()), packetLen = 0;
    ASSERT_EQ(zel_vesk_sync(h.h, stream.data(), &len, &packetLen), VESK_OK) << c.l;
    EXPECT_EQ(packetLen, c.packetLen) << c.l;
    EXPECT_EQ(len, 12u) << c.l;
  }
}

TEST(VeskSync, NeedsAnAflHandle) {
  Bytes packet = aflPacket(0, {});
  uint32_t len = static_cast<uint32_t>(packet.size()), packetLen = 0;
  Handle cl(VESK_TYPE_CL);
  EXPECT_EQ(zel_vesk_sync(cl.h, packet.data(), &len, &packetLen), VESK_ERR);
  EXPECT_EQ(zel_vesk_sync(nullptr, packet.data(), &len, &packetLen), VESK_ERR);
  EXPECT_EQ(len, packet.size());
}

}  // namespace
