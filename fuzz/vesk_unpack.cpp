// zel_vesk_unpack on arbitrary bytes. The first byte picks the handle: bits 0-1 the type
// (0 CL, 1 AFL, 2 AFL carrying CL; 3 counts as 2), bit 7 sequence numbering on. A delivered
// payload must lie inside the bytes given, also when unpack reports a failure.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vesk/zel_vesk.hpp"

namespace {

void mustBeInside(const uint8_t *payload, uint32_t length, const uint8_t *data, size_t size) {
  if (payload == nullptr) return;
  if (payload < data || payload > data + size ||
      length > static_cast<size_t>(data + size - payload))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const int32_t type = (selector & 0x03) == 3 ? VESK_TYPE_AFL_CL : selector & 0x03;
  const bool numbered = (selector & 0x80) != 0;
  ++data;
  --size;

  veskHandle *h = nullptr;
  if (zel_vesk_init(type, &h) != VESK_OK) std::abort();
  if (!numbered) {
    const uint8_t off = 0;
    if (type != VESK_TYPE_AFL) zel_vesk_ctrl(h, VESK_CTRL_CL_SEQ, &off);
    if (type != VESK_TYPE_CL) zel_vesk_ctrl(h, VESK_CTRL_AFL_SEQ, &off);
  }

  const uint32_t n = static_cast<uint32_t>(size);
  switch (type) {
    case VESK_TYPE_CL: {
      veskClDesc d{};
      const uint32_t rc = zel_vesk_unpack(h, data, n, &d);
      mustBeInside(d.payload, d.length, data, size);
      if (rc == VESK_OK && d.payload == nullptr) std::abort();
      break;
    }
    case VESK_TYPE_AFL: {
      veskAflDesc d{};
      const uint32_t rc = zel_vesk_unpack(h, data, n, &d);
      mustBeInside(d.payload, d.length, data, size);
      if (rc == VESK_OK && d.payload == nullptr) std::abort();
      break;
    }
    default: {
      veskMsgDesc d{};
      const uint32_t rc = zel_vesk_unpack(h, data, n, &d);
      mustBeInside(d.payload, d.length, data, size);
      if (rc == VESK_OK && d.payload == nullptr) std::abort();
      break;
    }
  }

  // A stream reader would resynchronise on the same bytes.
  if (type != VESK_TYPE_CL && size <= 4096) {
    uint8_t copy[4096];
    if (size != 0) std::memcpy(copy, data, size);
    uint32_t len = n, packetLen = 0;
    zel_vesk_sync(h, copy, &len, &packetLen);
    if (len > n) std::abort();
  }
  zel_vesk_free(&h);
  return 0;
}
