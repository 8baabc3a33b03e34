// SPDX-License-Identifier: GPL-2.0-or-later
// zel_vesk_unpack on arbitrary bytes, one fuzz target per handle type (vesk_unpack_cl,
// vesk_unpack_afl, vesk_unpack_afl_cl). The first byte sets the handle up: bit 7 switches
// sequence numbering on in its layers; the other bits are ignored. A delivered payload must lie
// inside the bytes given, also when unpack reports a failure, and a success delivers one. A
// packet taken without numbering, in the form the packer writes (no extension words, CRC on, no
// bytes after the CL payload, one sequence number in both layers), must pack again to the same
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "vesk/zel_vesk.hpp"

namespace zel::fuzz {

inline void mustBeInside(const uint8_t *payload, uint32_t length, const uint8_t *data,
                         size_t size) {
  if (payload == nullptr) return;
  if (payload < data || payload > data + size ||
      length > static_cast<size_t>(data + size - payload))
    std::abort();
}

// Whether the packer would write exactly these bytes for what unpack delivered.
template <typename Desc>
bool packerForm(const Desc &d, const uint8_t *data, size_t size) {
  if constexpr (std::is_same_v<Desc, veskClDesc>) {
    return size == 12 + size_t{d.length};
  } else {
    if (data[8] != 0x90 || data[11] != 0x00) return false;
    if constexpr (std::is_same_v<Desc, veskAflDesc>) {
      return true;
    } else {
      const uint16_t aflSeq = static_cast<uint16_t>(data[6] << 8 | data[7]);
      return size == 28 + size_t{d.length} && aflSeq == d.seq;
    }
  }
}

template <typename Desc>
void packsAgain(veskHandle *h, Desc d, const uint8_t *data, size_t size) {
  if (!packerForm(d, data, size)) return;
  auto out = std::make_unique<uint8_t[]>(size_t{d.length} + zel_vesk_overhead(h));
  uint32_t written = 0;
  if (zel_vesk_pack(h, &d, out.get(), &written) != VESK_OK || written != size ||
      std::memcmp(out.get(), data, size) != 0)
    std::abort();
}

template <typename Desc>
int unpackOne(int32_t type, const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool numbered = (data[0] & 0x80) != 0;
  ++data;
  --size;

  veskHandle *h = nullptr;
  if (zel_vesk_init(type, &h) != VESK_OK) std::abort();
  if (!numbered) {
    const uint8_t off = 0;
    if (type != VESK_TYPE_AFL) zel_vesk_ctrl(h, VESK_CTRL_CL_SEQ, &off);
    if (type != VESK_TYPE_CL) zel_vesk_ctrl(h, VESK_CTRL_AFL_SEQ, &off);
  }

  Desc d{};
  const uint32_t rc = zel_vesk_unpack(h, data, static_cast<uint32_t>(size), &d);
  mustBeInside(d.payload, d.length, data, size);
  if (rc == VESK_OK && d.payload == nullptr) std::abort();
  if (rc == VESK_OK && !numbered) packsAgain(h, d, data, size);

  // A stream reader would resynchronise on the same bytes.
  if (type != VESK_TYPE_CL && size <= 4096) {
    uint8_t copy[4096];
    if (size != 0) std::memcpy(copy, data, size);
    uint32_t len = static_cast<uint32_t>(size), packetLen = 0;
    zel_vesk_sync(h, copy, &len, &packetLen);
    if (len > size) std::abort();
  }
  zel_vesk_free(&h);
  return 0;
}

}  // namespace zel::fuzz
