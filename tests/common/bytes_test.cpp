// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/bytes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kSource = {0x12, 0x34, 0x56, 0x78, 0x9A};

// Every fixed-width read: its width, what it reads from kSource in each byte order.
struct ReadCase {
  const char *name;
  size_t width;
  std::function<std::optional<uint32_t>(zel::ByteReader &)> read;
  uint32_t expected;
};

const ReadCase kReads[] = {
    {"u8", 1, [](zel::ByteReader &r) -> std::optional<uint32_t> { return r.u8(); }, 0x12},
    {"u16be", 2, [](zel::ByteReader &r) -> std::optional<uint32_t> { return r.u16be(); }, 0x1234},
    {"u16le", 2, [](zel::ByteReader &r) -> std::optional<uint32_t> { return r.u16le(); }, 0x3412},
    {"u32be", 4, [](zel::ByteReader &r) -> std::optional<uint32_t> { return r.u32be(); },
     0x12345678},
    {"u32le", 4, [](zel::ByteReader &r) -> std::optional<uint32_t> { return r.u32le(); },
     0x78563412},
};

TEST(ByteReader, EveryReadAtExactAndShortLengths) {
  for (const ReadCase &c : kReads) {
    // Exactly enough bytes: the value, and nothing left.
    zel::ByteReader exact(std::span(kSource.data(), c.width));
    EXPECT_EQ(c.read(exact), c.expected) << c.name;
    EXPECT_EQ(exact.remaining(), 0u) << c.name;
    EXPECT_EQ(exact.position(), c.width) << c.name;

    // One byte short (down to none): nothing read, nothing consumed.
    for (size_t n = 0; n < c.width; ++n) {
      zel::ByteReader shortReader(std::span(kSource.data(), n));
      EXPECT_EQ(c.read(shortReader), std::nullopt) << c.name << " from " << n << " bytes";
      EXPECT_EQ(shortReader.position(), 0u) << c.name;
      EXPECT_EQ(shortReader.remaining(), n) << c.name;
    }
  }
}

TEST(ByteReader, ViewsSkipsAndTheRest) {
  zel::ByteReader r(kSource);
  auto two = r.bytes(2);
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(Bytes(two->begin(), two->end()), (Bytes{0x12, 0x34}));
  EXPECT_EQ(two->data(), kSource.data());  // a view, not a copy
  EXPECT_FALSE(r.bytes(4).has_value());    // three are left
  EXPECT_FALSE(r.skip(4));
  EXPECT_EQ(r.position(), 2u);
  EXPECT_TRUE(r.skip(1));
  EXPECT_EQ(Bytes(r.rest().begin(), r.rest().end()), (Bytes{0x78, 0x9A}));
  EXPECT_TRUE(r.bytes(2).has_value());
  EXPECT_TRUE(r.bytes(0).has_value());  // nothing is always there
  EXPECT_TRUE(r.rest().empty());
}

// Every fixed-width write: its width, and the bytes it lays down for 0x12345678.
struct WriteCase {
  const char *name;
  size_t width;
  std::function<bool(zel::ByteWriter &)> write;
  Bytes expected;
};

const WriteCase kWrites[] = {
    {"u8", 1, [](zel::ByteWriter &w) { return w.u8(0x12); }, {0x12}},
    {"u16be", 2, [](zel::ByteWriter &w) { return w.u16be(0x1234); }, {0x12, 0x34}},
    {"u16le", 2, [](zel::ByteWriter &w) { return w.u16le(0x1234); }, {0x34, 0x12}},
    {"u32be", 4, [](zel::ByteWriter &w) { return w.u32be(0x12345678); }, {0x12, 0x34, 0x56, 0x78}},
    {"u32le", 4, [](zel::ByteWriter &w) { return w.u32le(0x12345678); }, {0x78, 0x56, 0x34, 0x12}},
    {"bytes",
     3,
     [](zel::ByteWriter &w) { return w.bytes(std::span(kSource.data(), 3)); },
     {0x12, 0x34, 0x56}},
};

TEST(ByteWriter, EveryWriteAtExactAndShortLengths) {
  for (const WriteCase &c : kWrites) {
    Bytes out(c.width, 0xEE);
    zel::ByteWriter exact(out);
    EXPECT_TRUE(c.write(exact)) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
    EXPECT_EQ(exact.remaining(), 0u) << c.name;

    // Too little room: false, and not a byte touched.
    for (size_t n = 0; n < c.width; ++n) {
      Bytes small(n, 0xEE);
      zel::ByteWriter shortWriter(small);
      EXPECT_FALSE(c.write(shortWriter)) << c.name << " into " << n << " bytes";
      EXPECT_EQ(shortWriter.position(), 0u) << c.name;
      EXPECT_EQ(small, Bytes(n, 0xEE)) << c.name;
    }
  }
}

TEST(ByteWriter, WritesFollowEachOtherAndEmptyBytesAlwaysFit) {
  Bytes out(7);
  zel::ByteWriter w(out);
  EXPECT_TRUE(w.u16be(0xABCD));
  EXPECT_TRUE(w.bytes({}));
  EXPECT_TRUE(w.u32le(0x01020304));
  EXPECT_TRUE(w.u8(0xFF));
  EXPECT_FALSE(w.u8(0));
  EXPECT_TRUE(w.bytes({}));
  EXPECT_EQ(out, (Bytes{0xAB, 0xCD, 0x04, 0x03, 0x02, 0x01, 0xFF}));
}

}  // namespace
