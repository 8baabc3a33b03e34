// SPDX-License-Identifier: GPL-2.0-or-later
// The PSD container: building one around a payload and reading one back.
#include "psdmsg/psdmsg.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "common/bytes.hpp"

namespace {

constexpr uint32_t kHeaderSize = 12;
constexpr uint8_t kOptionExtension = 1;
constexpr uint8_t kExtLengthField = 4;   // the 32-bit extLength at the start of the extension
constexpr uint8_t kMaxExtRequest = 251;  // k + 4 must fit the one byte a reader looks at
constexpr int32_t kOk = 1;
constexpr int32_t kFail = 2;

}  // namespace

int32_t psdmsg_create(uint8_t **container, const uint8_t *payload, uint8_t psdType,
                      uint8_t psdFormat, uint8_t extLength, uint16_t psdParam, uint16_t contentId,
                      uint32_t *length) {
  if (container == nullptr || length == nullptr) return kFail;
  *container = nullptr;
  const uint32_t payloadLength = *length;
  if (payload == nullptr && payloadLength != 0) return kFail;
  if (extLength > kMaxExtRequest) return kFail;

  const uint8_t ext = extLength != 0 ? static_cast<uint8_t>(extLength + kExtLengthField) : 0;
  const uint64_t total = uint64_t{kHeaderSize} + ext + payloadLength;
  if (total > std::numeric_limits<uint32_t>::max()) return kFail;

  auto *block = static_cast<uint8_t *>(std::malloc(total));
  if (block == nullptr) return kFail;

  zel::ByteWriter w({block, total});
  w.u8(0);  // psdReserved
  w.u8(psdType);
  w.u8(psdFormat);
  w.u8(extLength != 0 ? kOptionExtension : 0);  // psdOptions
  w.u16le(psdParam);
  w.u16le(contentId);
  w.u32le(payloadLength);
  if (ext != 0) {
    w.u32le(ext);
    for (unsigned i = 1; i <= extLength; ++i) w.u8(static_cast<uint8_t>(i));
  }
  if (payloadLength != 0) w.bytes({payload, payloadLength});

  *container = block;
  *length = static_cast<uint32_t>(total);
  return kOk;
}

int32_t psdmsg_parse(const uint8_t *container, uint32_t containerSize, const uint8_t **payload,
                     uint8_t *psdReserved, uint8_t *psdType, uint8_t *psdFormat,
                     uint8_t *psdOptions, uint16_t *psdParam, uint16_t *contentId,
                     uint32_t *payloadLength) {
  if (payload == nullptr || psdReserved == nullptr || psdType == nullptr || psdFormat == nullptr ||
      psdOptions == nullptr || psdParam == nullptr || contentId == nullptr ||
      payloadLength == nullptr)
    return kFail;
  *psdReserved = *psdType = *psdFormat = *psdOptions = 0;
  *psdParam = *contentId = 0;
  *payloadLength = 0;

  if (container == nullptr) {
    std::fputs("   psdmsg_parse input NULL ", stdout);
    return kFail;
  }

  zel::ByteReader r({container, containerSize});
  if (r.remaining() < kHeaderSize) return kFail;
  *psdReserved = *r.u8();
  *psdType = *r.u8();
  *psdFormat = *r.u8();
  *psdOptions = *r.u8();
  *psdParam = *r.u16le();
  *contentId = *r.u16le();
  *payloadLength = *r.u32le();

  if (*psdOptions == kOptionExtension) {
    // Only the low byte of the 32-bit extLength counts.
    if (r.remaining() < 1) return kFail;
    const uint8_t ext = r.rest()[0];
    std::printf("   options flag set; ext = 0x%x (%d)", ext, ext);
    if (ext < kExtLengthField) {
      std::fputs(" psdmsg_parse header extension length error ", stdout);
      return kFail;
    }
    if (!r.skip(ext)) return kFail;
  }

  const auto body = r.bytes(*payloadLength);
  if (!body) return kFail;
  *payload = body->data();
  return kOk;
}
