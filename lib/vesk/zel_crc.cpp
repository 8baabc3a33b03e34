#include "vesk/zel_crc.hpp"

#include <array>

namespace {

struct CrcDesc {
  std::array<uint32_t, 256> table;
  uint32_t poly;
  uint32_t init;  // already at the top of the 32-bit register
  uint32_t topBit;
  unsigned shift;  // where the width's bits sit in the register
};

CrcDesc crc8{{}, 0x31, 0xFF000000u, 0x80, 24};
CrcDesc crc16{{}, 0x1021, 0xFFFF0000u, 0x8000, 16};
CrcDesc crc32{{}, 0x04C11DB7u, 0xFFFFFFFFu, 0x80000000u, 0};
bool tablesBuilt = false;

void build(CrcDesc &d, unsigned width) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = i;
    for (unsigned bit = 0; bit < width; ++bit)
      reg = (reg & d.topBit) ? (reg << 1) ^ d.poly : reg << 1;
    d.table[i] = reg << d.shift;
  }
}

// Most-significant-bit first: the byte meets the register's top byte.
uint32_t run(const CrcDesc &d, const uint8_t *data, uint32_t len) {
  uint32_t reg = d.init;
  for (uint32_t i = 0; i < len; ++i) reg = d.table[(reg >> 24) ^ data[i]] ^ (reg << 8);
  return reg;
}

}  // namespace

int32_t zel_crc_init() {
  if (!tablesBuilt) {
    build(crc8, 8);
    build(crc16, 16);
    build(crc32, 32);
    tablesBuilt = true;
  }
  return 1;
}

int32_t zel_crc_calc(int32_t width, const uint8_t *data, uint32_t len, uint32_t *result) {
  switch (width) {
    case 8:
      *result = run(crc8, data, len);
      return 1;
    case 16:
      *result = run(crc16, data, len) ^ 0xFFFF0000u;
      return 1;
    case 32:
      *result = run(crc32, data, len);
      return 1;
    default:
      return 2;
  }
}
