// SPDX-License-Identifier: GPL-2.0-or-later
// zel_crc - table-driven, non-reflected CRCs of width 8, 16 and 32.
//
//   width  poly        init        final XOR   check("123456789")
//   8      0x31        0xFF        none        0xF7
//   16     0x1021      0xFFFF      0xFFFF      0xD64E   (CRC-16/GENIBUS; the AFL trailer)
//   32     0x04C11DB7  0xFFFFFFFF  none        0x0376E6E7 (CRC-32/MPEG-2)
//
// The result is the 32-bit register with the CRC in its top bits: a width-8 CRC in bits 31-24,
// a width-16 CRC in bits 31-16 (bits 15-0 zero), a width-32 CRC in all of them.
#pragma once

#include <cstdint>

// Builds the three tables on the first call; later calls do nothing. Returns 1.
int32_t zel_crc_init();

// CRC of len bytes at data into *result. Returns 1, or 2 (and writes nothing) for a width other
// than 8, 16 or 32. zel_crc_init must have run before (creating an AFL VESK handle sees to it).
int32_t zel_crc_calc(int32_t width, const uint8_t *data, uint32_t len, uint32_t *result);
