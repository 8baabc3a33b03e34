// SPDX-License-Identifier: GPL-2.0-or-later
// The library's link to VESK: the two-layer handle every message handle of the process borrows,
// its lock, the error text of a failed call, a CL-only handle for one call, and pack and unpack
// with the values every packet of the library carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <span>
#include <utility>

#include "api/record/error_record.hpp"
#include "api/zel_marlo.h"
#include "vesk/zel_vesk.hpp"

namespace zel {

// Values every packet of the library carries.
inline constexpr uint32_t kVeskSeq = 1;
inline constexpr uint8_t kVeskFlag = 0;
inline constexpr uint8_t kTalField1 = 1;
inline constexpr uint8_t kTalField2 = 2;

// The shared two-layer handle, set up on the first call of the process (a failed set-up is
// reported into error, once); a call made meanwhile on another thread waits for it.
veskHandle *sharedVesk(ErrorRecord &error);

// Holds the lock of the shared handle when vesk is that handle (nothing for any other): keep it
// over a pack or unpack and the report that quotes the handle's error text.
std::unique_lock<std::mutex> lockVesk(const veskHandle *vesk);

// Keeps vesk's error text for the report of a failure just now, while the lock is held.
void keepVeskText(const veskHandle *vesk);

// The VESK error text for a report on a failure of pack or unpack with vesk on this thread just
// now; "" when there is no handle.
const char *veskText(const veskHandle *vesk);

// A CL-only VESK handle for one call, with sequence numbering off.
struct TempClHandle {
  explicit TempClHandle(bool wanted = true);
  ~TempClHandle();
  TempClHandle(const TempClHandle &) = delete;
  TempClHandle &operator=(const TempClHandle &) = delete;
  veskHandle *h = nullptr;
};

// A packet buffer from malloc, released unless it is handed to the caller.
struct Packet {
  explicit Packet(size_t capacity)
      : data(static_cast<uint8_t *>(std::malloc(capacity > 0 ? capacity : 1))) {}
  ~Packet() { std::free(data); }
  Packet(const Packet &) = delete;
  Packet &operator=(const Packet &) = delete;
  uint8_t *release() { return std::exchange(data, nullptr); }
  uint8_t *data;
  uint32_t size = 0;
};

// Packs msgId with the given payload into packet, under the lock (inline: the road's hot path).
// Kind AFL_CL packs a two-layer packet (the shared handle), kind CL a CL packet (a TempClHandle).
inline uint32_t pack(veskHandle *vesk, ZEL_MARLO_VESK_TYPE_t kind, uint32_t msgId,
                     std::span<const uint8_t> payload, Packet &packet) {
  const auto length = static_cast<uint32_t>(payload.size());
  const uint8_t *bytes = payload.empty() ? nullptr : payload.data();
  if (packet.data == nullptr) return VESK_ERR;
  const auto lock = lockVesk(vesk);
  uint32_t rc;
  if (kind == ZEL_MARLO_VESK_TYPE_AFL_CL) {
    veskMsgDesc desc{msgId, kVeskSeq, kVeskFlag, kTalField1, kTalField2, kVeskSeq, length, bytes};
    rc = zel_vesk_pack(vesk, &desc, packet.data, &packet.size);
  } else {
    veskClDesc desc{msgId, kVeskSeq, kVeskFlag, length, bytes};
    rc = zel_vesk_pack(vesk, &desc, packet.data, &packet.size);
  }
  if (rc != VESK_OK) keepVeskText(vesk);
  return rc;
}

// The fields of an unpacked packet that the receive road uses.
struct Unpacked {
  uint32_t msgId = 0;
  uint32_t length = 0;
  const uint8_t *payload = nullptr;
};

inline uint32_t unpack(veskHandle *vesk, ZEL_MARLO_VESK_TYPE_t kind, const uint8_t *bytes,
                       uint32_t count, Unpacked &out) {
  const auto lock = lockVesk(vesk);
  uint32_t rc;
  if (kind == ZEL_MARLO_VESK_TYPE_AFL_CL) {
    veskMsgDesc desc{};
    rc = zel_vesk_unpack(vesk, bytes, count, &desc);
    out = {desc.msgId, desc.length, desc.payload};
  } else {
    veskClDesc desc{};
    rc = zel_vesk_unpack(vesk, bytes, count, &desc);
    out = {desc.msgId, desc.length, desc.payload};
  }
  if (rc != VESK_OK) keepVeskText(vesk);
  return rc;
}

}  // namespace zel
