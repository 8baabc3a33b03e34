// SPDX-License-Identifier: GPL-2.0-or-later
// Tags that reach the known faults of libid3tag 0.15.1b: unsynchronised data ending in FF 00
// (read past the buffer), compressed frames announcing huge sizes (allocated before inflating)
// and text lists of many empty strings (one heap string each). The valgrind run of this suite
// checks that the real library reads nothing outside its buffers.
#include "api/id3/guard.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "support/id3_support.hpp"

namespace {

using zel::test::be32;
using zel::test::Bytes;
using zel::test::bytes;
using zel::test::decode;
using zel::test::frame2;
using zel::test::frame3;
using zel::test::frame4;
using zel::test::Handle;
using zel::test::hex;
using zel::test::own;
using zel::test::syncsafe;
using zel::test::tag;
using zel::test::operator+;

Bytes deflate(const Bytes &plain) {
  uLongf size = compressBound(plain.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, plain.data(), plain.size(), 9), Z_OK);
  out.resize(size);
  return out;
}

// The title after decoding t, or the report when it is refused.
std::string titleOf(const Bytes &t) {
  Handle msg;
  if (decode(msg, t) != ZEL_MARLO_SUCCESS) return msg.errorText();
  return own(zel_marlo_getPsdTitle(msg));
}

std::string refused(const Bytes &t) {
  return "orvo[822]: E_FORMAT id3 parse failed, len=" + std::to_string(t.size());
}

TEST(Id3Guard, UnsynchronisedDataEndingInFF00) {
  // v2.3 and v2.2: the whole tag body is unsynchronised (header flag 0x80).
  const Bytes body3 = bytes("TIT2") + be32(3) + bytes({0, 0, 0, 'a', 0xFF, 0x00});
  EXPECT_EQ(titleOf(tag(body3, 3, 0x80)), "a\xFF");
  const Bytes body2 = bytes("TT2") + bytes({0, 0, 3}) + bytes({0, 'a', 0xFF, 0x00});
  EXPECT_EQ(titleOf(tag(body2, 2, 0x80)), "a\xFF");
  // Inside the data too, and a size field that needs undoing.
  const Bytes inside = bytes("TIT2") + bytes({0, 0, 0, 0xFF, 0x00}) + bytes({0, 0, 0}) +
                       Bytes(252, 'x') + bytes({0xFF, 0x00, 0xE0});
  EXPECT_EQ(titleOf(tag(inside, 3, 0x80)), std::string(252, 'x') + "\xFF\xE0");
  // v2.4: per frame (format flag 0x02), also after a data length indicator.
  EXPECT_EQ(titleOf(tag(frame4("TIT2", bytes({0, 'a', 0xFF, 0x00}), 0x0002), 4)), "a\xFF");
  EXPECT_EQ(titleOf(tag(frame4("TIT2", syncsafe(3) + bytes({0, 'b', 0xFF, 0x00}), 0x0003), 4)),
            "b\xFF");
  // Nothing to undo.
  EXPECT_EQ(titleOf(tag(frame4("TIT2", bytes({0, 'c'}), 0x0002), 4)), "c");
}

TEST(Id3Guard, CompressedFrames) {
  const Bytes title = bytes({0}) + bytes("Hello");
  const Bytes packed = deflate(title);
  EXPECT_EQ(titleOf(tag(frame3("TIT2", be32(title.size()) + packed, 0x0080))), "Hello");
  EXPECT_EQ(titleOf(tag(frame4("TIT2", syncsafe(title.size()) + packed, 0x0009), 4)), "Hello");
  // Grouped and compressed: the group byte comes after the size.
  EXPECT_EQ(titleOf(tag(frame3("TIT2", be32(title.size()) + bytes({7}) + packed, 0x00A0))),
            "Hello");

  // A size that is not the inflated size, or data that does not inflate: refused.
  for (const Bytes &t :
       {tag(frame3("TIT2", be32(title.size() + 1) + packed, 0x0080)),
        tag(frame3("TIT2", be32(title.size() - 1) + packed, 0x0080)),
        tag(frame3("TIT2", be32(6) + bytes("garbage"), 0x0080)),
        tag(frame3("TIT2", bytes({0, 0}), 0x0080)), tag(frame4("TIT2", packed, 0x0008), 4)})
    EXPECT_EQ(titleOf(t), refused(t)) << hex(t);
}

TEST(Id3Guard, CompressedSizesBeyondTheLimitAreRefused) {
  const Bytes small = deflate(bytes({0, 'x'}));
  for (uint32_t announced : {0xFFFFFFFFu, 0x10000001u, uint32_t{zel::id3::kMaxInflatedFrame} + 1}) {
    const Bytes t = tag(frame3("TIT2", be32(announced) + small, 0x0080));
    EXPECT_EQ(titleOf(t), refused(t)) << announced;
  }
  const Bytes t4 = tag(frame4("TIT2", syncsafe(0x0FFFFFFF) + small, 0x0009), 4);
  EXPECT_EQ(titleOf(t4), refused(t4));
}

TEST(Id3Guard, ZeroByteBombs) {
  // 30 MB of zero bytes in a title list, compressed to under 32 KiB, announced honestly.
  const Bytes bomb = deflate(bytes({0}) + Bytes(30'000'000, 0));
  ASSERT_LT(bomb.size(), 32u * 1024);
  const Bytes honest = tag(frame3("TIT2", be32(30'000'001) + bomb, 0x0080));
  EXPECT_EQ(titleOf(honest), refused(honest));
  // ... or announced small.
  const Bytes lying = tag(frame3("TIT2", be32(1000) + bomb, 0x0080));
  EXPECT_EQ(titleOf(lying), refused(lying));

  // Within the limit, and uncompressed: the list is read up to its first string only.
  const Bytes inLimit = bytes({0}) + bytes("t") + Bytes(zel::id3::kMaxInflatedFrame - 2, 0);
  EXPECT_EQ(titleOf(tag(frame3("TIT2", be32(inLimit.size()) + deflate(inLimit), 0x0080))), "t");
  EXPECT_EQ(titleOf(tag(frame3("TIT2", bytes({0}) + Bytes(32 * 1024, 0)))), "<null>");
  EXPECT_EQ(titleOf(tag(frame4("TIT2", bytes({1}) + Bytes(32 * 1024, 0), 0), 4)), "<null>");
}

TEST(Id3Guard, FramesLibid3tagLeavesEmpty) {
  // Encrypted, or with format flags it does not know: the first title is empty, and it still
  // is the first.
  const Bytes second = frame3("TIT2", bytes({0}) + bytes("second"));
  EXPECT_EQ(titleOf(tag(frame3("TIT2", bytes({1, 0}) + bytes("enc"), 0x0040) + second)), "<null>");
  EXPECT_EQ(titleOf(tag(frame3("TIT2", bytes({0}) + bytes("odd"), 0x0001) + second)), "<null>");
  EXPECT_EQ(titleOf(tag(frame4("TIT2", bytes({1, 0}) + bytes("enc"), 0x0004), 4)), "<null>");
  EXPECT_EQ(titleOf(tag(frame4("TIT2", bytes({0}) + bytes("odd"), 0x0010), 4)), "<null>");
  // Frames the decoder does not read are not looked into.
  EXPECT_EQ(
      titleOf(tag(frame3("APIC", Bytes(10, 0xFF), 0x0080) + frame3("XXXX", bytes({9})) + second)),
      "second");
}

TEST(Id3Guard, ExtendedHeaders) {
  const Bytes title = frame3("TIT2", bytes({0}) + bytes("t"));
  // v2.3: size 6, flags, 4 bytes of padding after the frames.
  const Bytes eh3 = be32(6) + bytes({0, 0}) + be32(4);
  EXPECT_EQ(titleOf(tag(eh3 + title + Bytes(4, 0), 3, 0x40)), "t");
  // v2.4: syncsafe size counting itself, one flag byte count, no flags.
  const Bytes eh4 = syncsafe(6) + bytes({1, 0});
  EXPECT_EQ(titleOf(tag(eh4 + frame4("TIT2", bytes({0}) + bytes("t")), 4, 0x40)), "t");

  for (const Bytes &t : {tag(be32(6) + bytes({0, 0}) + be32(100) + title, 3, 0x40),
                         tag(be32(50) + title, 3, 0x40), tag(bytes({0, 0}), 3, 0x40),
                         tag(syncsafe(5) + bytes({1}) + title, 4, 0x40), tag(title, 2, 0x40)})
    EXPECT_EQ(titleOf(t), refused(t)) << hex(t);
}

TEST(Id3Guard, MalformedTagsAreRefused) {
  const Bytes title = frame3("TIT2", bytes({0}) + bytes("t"));
  const Bytes good = tag(title);
  Bytes topBit = good;
  topBit[9] |= 0x80;
  Bytes version5 = good;
  version5[3] = 5;
  Bytes tooLong = good;
  tooLong[9] += 1;
  const Bytes cases[] = {
      Bytes(good.begin(), good.begin() + 9),  // cut in the header
      Bytes(good.begin(), good.end() - 1),    // cut in the frame
      topBit,
      version5,
      tooLong,
      tag(bytes("TIT2") + be32(100) + bytes({0, 0, 0})),  // frame larger than the tag
      tag(bytes("TIT2") + be32(1)),                       // frame header cut
      tag(frame3("TIT2", {})),                            // no text encoding byte
      tag(frame3("TIT2", bytes({9}) + bytes("x"))),       // unknown text encoding
      tag(frame3("COMM", bytes({0}) + bytes("en"))),      // no room for the language
      tag(frame3("COMR", bytes({0}) + bytes("p") + bytes({0}) + bytes("2004"))),  // short date
      tag(frame2("TT2", bytes({0}) + bytes("t")) + bytes("TT"), 2),
      bytes("3DI") + good,
      bytes("TAG") + Bytes(100, 'x'),
      bytes("ID3"),
  };
  for (const Bytes &t : cases) EXPECT_EQ(titleOf(t), refused(t)) << hex(t);
  EXPECT_EQ(titleOf(good), "t");
}

TEST(Id3Guard, TruncationSweep) {
  // Every cut of a full tag is refused or read, never read past.
  Handle full;
  const uint8_t id[] = {1, 2, 3};
  zel_marlo_setPsdTitle(full, "Title");
  zel_marlo_enablePsdComment(full, 1);
  zel_marlo_setPsdComment(full, "c", "d");
  zel_marlo_enablePsdCommercial(full, 1);
  zel_marlo_setPsdCommercial(full, "USD1", "20041231", "u", "1", "s", "p");
  zel_marlo_enablePsdUfid(full, 1);
  zel_marlo_setPsdUfid(full, "o", id, 3);
  zel_marlo_setId3TextEncoding(full, ZEL_MARLO_ID3_ENC_UTF_16);
  const Bytes t = zel::test::encode(full).tag;
  ASSERT_FALSE(t.empty());
  for (size_t n = 1; n < t.size(); ++n) {
    Handle msg;
    EXPECT_EQ(decode(msg, Bytes(t.begin(), t.begin() + n)), ZEL_MARLO_FAILURE) << n;
  }
}

}  // namespace
