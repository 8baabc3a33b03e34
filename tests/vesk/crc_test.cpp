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
  for (auto [width, expected] : {Case{8, 0xF7000000u}, Case{16, 0xD64E0000u},
                                 Case{32, 0x0376E6E7u}}) {
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

TEST_F(Crc, InitIsIdempotent) {
  uint32_t before = 0, after = 0;
  const auto *data = reinterpret_cast<const uint8_t *>("abc");
  zel_crc_calc(16, data, 3, &before);
  EXPECT_EQ(zel_crc_init(), 1);
  zel_crc_calc(16, data, 3, &after);
  EXPECT_EQ(before, after);
}

}  // namespace
