// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "vesk/zel_crc.hpp"

namespace {

class Crc : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zel_crc_init(), 1); }
};

TEST_F(Crc, CheckValuesSitAtTheTopOfTheRegister) {
  const auto *check = reinterpret_cast<const uint8_t *>("123456789");
  struct Case {
    int32_t width;
    uint32_t expected;
  };
  for (auto [width, expected] :
       {Case{8, 0xF7000000u}, Case{16, 0xD64E0000u}, Case{32, 0x0376E6E7u}}) {
    uint32_t result = 0;
    EXPECT_EQ(zel_crc_calc(width, check, 9, &result), 1) << width;
    EXPECT_EQ(result, expected) << "width " << width;
  }
}

TEST_F(Crc, EmptyInputGivesTheInitialRegister) {
  uint32_t result = 1;
  ASSERT_EQ(zel_crc_calc(16, nullptr, 0, &result), 1);
  EXPECT_EQ(result, 0u);  // 0xFFFF after the final XOR
  ASSERT_EQ(zel_crc_calc(8, nullptr, 0, &result), 1);
  EXPECT_EQ(result, 0xFF000000u);
  ASSERT_EQ(zel_crc_calc(32, nullptr, 0, &result), 1);
  EXPECT_EQ(result, 0xFFFFFFFFu);
}

TEST_F(Crc, UnsupportedWidthWritesNothing) {
  uint32_t result = 0x12345678;
  EXPECT_EQ(zel_crc_calc(12, reinterpret_cast<const uint8_t *>("x"), 1, &result), 2);
  EXPECT_EQ(result, 0x12345678u);
}

TEST_F(Crc, FlushPacketTrailer) {
  // The two-layer flush packet up to its CRC field; the trailer on the wire is 3E 59.
  const std::vector<uint8_t> packet = {0x41, 0x46, 0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0x90,
                                       0x69, 0x10, 0x00, 0x01, 0x02, 0x10, 0x00, 0x00, 0x01,
                                       0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  uint32_t result = 0;
  ASSERT_EQ(zel_crc_calc(16, packet.data(), static_cast<uint32_t>(packet.size()), &result), 1);
  EXPECT_EQ(result >> 16, 0x3E59u);
}

// Bit by bit, straight from the definition: an independent check of the table code at every
// length around its multi-byte steps.
uint32_t bitwise(int width, uint32_t poly, uint32_t init, uint32_t xorOut, const uint8_t *p,
                 size_t n) {
  const uint32_t top = 1u << (width - 1);
  const uint32_t mask = width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
  uint32_t reg = init;
  for (size_t i = 0; i < n; ++i) {
    reg ^= uint32_t{p[i]} << (width - 8);
    for (int b = 0; b < 8; ++b) reg = (reg & top) ? ((reg << 1) ^ poly) & mask : (reg << 1) & mask;
  }
  return ((reg ^ xorOut) & mask) << (32 - width);
}

TEST_F(Crc, AgreesWithTheBitwiseDefinitionAtEveryLength) {
  std::vector<uint8_t> data(70);
  uint32_t seed = 12345;
  for (auto &b : data) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  for (size_t n = 0; n <= data.size(); ++n) {
    uint32_t r8 = 0, r16 = 0, r32 = 0;
    zel_crc_calc(8, data.data(), static_cast<uint32_t>(n), &r8);
    zel_crc_calc(16, data.data(), static_cast<uint32_t>(n), &r16);
    zel_crc_calc(32, data.data(), static_cast<uint32_t>(n), &r32);
    EXPECT_EQ(r8, bitwise(8, 0x31, 0xFF, 0, data.data(), n)) << n;
    EXPECT_EQ(r16, bitwise(16, 0x1021, 0xFFFF, 0xFFFF, data.data(), n)) << n;
    EXPECT_EQ(r32, bitwise(32, 0x04C11DB7, 0xFFFFFFFF, 0, data.data(), n)) << n;
  }
}

TEST_F(Crc, InitIsIdempotent) {
  uint32_t before = 0, after = 0;
  const auto *data = reinterpret_cast<const uint8_t *>("abc");
  zel_crc_calc(16, data, 3, &before);
  EXPECT_EQ(zel_crc_init(), 1);
  zel_crc_calc(16, data, 3, &after);
  EXPECT_EQ(before, after);
}

}  // namespace
