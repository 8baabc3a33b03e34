// zel_vesk_unpack on arbitrary bytes, one fuzz target per handle type (vesk_unpack_cl,
// vesk_unpack_afl, vesk_unpack_afl_cl). The first byte sets the handle up: bit 7 switches
// sequence numbering on in its layers; the other bits are ignored. A delivered payload must lie
// inside the bytes given, also when unpack reports a failure, and a success delivers one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vesk/zel_vesk.hpp"

namespace zel::fuzz {

inline void mustBeInside(const uint8_t *payload, uint32_t length, const uint8_t *data,
                         size_t size) {
  if (payload == nullptr) return;
  if (payload < data || payload > data + size ||
      length > static_cast<size_t>(data + size - payload))
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
