// SPDX-License-Identifier: GPL-2.0-or-later
// Test support for VESK packets: a handle that frees itself, packets built byte by byte, and
// unpacking from an allocation of exactly the packet's size.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "support/wire_bytes.hpp"
#include "vesk/zel_vesk.hpp"

namespace zel::test {

// A CL packet as the wire carries it.
inline Bytes clPacket(uint32_t msgId, uint16_t seq, const Bytes &payload, uint8_t flags = 0) {
  return Bytes{0x10, flags} + be16(seq) + be32(msgId) +
         be32(static_cast<uint32_t>(payload.size())) + payload;
}

// An AFL packet with E = 0, version 0x90 and its CRC.
inline Bytes aflPacket(uint16_t seq, const Bytes &payload, uint8_t tal1 = 1, uint8_t tal2 = 2) {
  return withCrc(Bytes{'A', 'F'} + be32(static_cast<uint32_t>(payload.size() + 4)) + be16(seq) +
                 Bytes{0x90, 'i', 0x10, 0x00, tal1, tal2} + payload);
}

// A handle that frees itself; numbering as asked in both of its layers.
struct Handle {
  explicit Handle(int32_t type, bool numbering = false) {
    EXPECT_EQ(zel_vesk_init(type, &h), VESK_OK);
    if (!numbering && h != nullptr) {
      h->clSeqOn = 0;
      h->aflSeqOn = 0;
    }
  }
  ~Handle() { zel_vesk_free(&h); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  veskHandle *operator->() const { return h; }
  const char *err() const { return zel_vesk_errstr(h); }
  veskHandle *h = nullptr;
};

// A descriptor of any handle type.
union AnyDesc {
  veskClDesc cl;
  veskAflDesc afl;
  veskMsgDesc msg;

  AnyDesc() : msg{} {}
  const uint8_t *payload(int32_t type) const {
    return type == VESK_TYPE_CL ? cl.payload : type == VESK_TYPE_AFL ? afl.payload : msg.payload;
  }
};

// Unpacks the first `count` bytes of packet from an allocation of exactly that size, so that a
// read past the end is seen by the sanitizers. The copy is kept for the descriptor's payload.
class ExactUnpack {
 public:
  uint32_t operator()(veskHandle *h, const Bytes &packet, void *desc) {
    return (*this)(h, packet, packet.size(), desc);
  }
  uint32_t operator()(veskHandle *h, const Bytes &packet, size_t count, void *desc) {
    copy_ = std::make_unique<uint8_t[]>(count);
    if (count != 0) std::memcpy(copy_.get(), packet.data(), count);
    return zel_vesk_unpack(h, copy_.get(), static_cast<uint32_t>(count), desc);
  }
  const uint8_t *data() const { return copy_.get(); }

 private:
  std::unique_ptr<uint8_t[]> copy_;
};

}  // namespace zel::test
