// SPDX-License-Identifier: GPL-2.0-or-later
#include "vesk/zel_crc.hpp"

#include <array>

namespace {

// table[0] is the usual one-byte table. table[k] advances the register over a byte followed by
// k zero bytes, so that sixteen bytes are folded in with sixteen independent lookups.
constexpr int kSlices = 16;

struct CrcDesc {
  std::array<std::array<uint32_t, 256>, kSlices> table;
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
    d.table[0][i] = reg << d.shift;
  }
  for (int k = 1; k < kSlices; ++k)
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t prev = d.table[k - 1][i];
      d.table[k][i] = (prev << 8) ^ d.table[0][prev >> 24];
    }
}

// Most-significant-bit first: each byte meets the register's top byte. The register is 32 bits
// wide for every width (a narrower CRC sits in its top bits), so one update rule serves all.
uint32_t run(const CrcDesc &d, const uint8_t *p, uint32_t len) {
  const auto &t = d.table;
  uint32_t reg = d.init;
  for (; len >= 16; len -= 16, p += 16) {
    // The first four bytes meet the register; the other twelve only shift through.
    reg = t[15][(reg >> 24) ^ p[0]] ^ t[14][((reg >> 16) & 0xFF) ^ p[1]] ^
          t[13][((reg >> 8) & 0xFF) ^ p[2]] ^ t[12][(reg & 0xFF) ^ p[3]] ^ t[11][p[4]] ^
          t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^
          t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
  }
  for (; len > 0; --len, ++p) reg = t[0][(reg >> 24) ^ *p] ^ (reg << 8);
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
