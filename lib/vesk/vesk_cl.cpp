// SPDX-License-Identifier: GPL-2.0-or-later
// The control layer: a 12-byte big-endian header in front of the payload.
#include <cstdint>
#include <limits>

#include "common/bytes.hpp"
#include "vesk/vesk_codec.hpp"

namespace zel::vesk {
namespace {

constexpr uint8_t kClVersion = 0x10;
constexpr uint8_t kFlagBit = 0x01;

uint32_t clPack(ClLayer &layer, veskClDesc &desc, Packet &packet) {
  packet.size = 0;
  if (packet.out == nullptr) return VESK_ERR;
  // The packet length must still fit the 32-bit size the caller gets back.
  if (desc.length > std::numeric_limits<uint32_t>::max() - kClHeaderSize) {
    setError(layer.errText, 300, "payload length(%u) exceeds packet limit]", desc.length);
    return VESK_ERR;
  }

  uint16_t seq;
  if (layer.seqOn == 1) {
    seq = layer.seq++;  // wraps from 0xFFFF to 0x0000
    desc.seq = seq;
  } else {
    seq = static_cast<uint16_t>(desc.seq);
  }

  const uint32_t size = kClHeaderSize + desc.length;
  ByteWriter w({packet.out, size});
  w.u8(kClVersion);
  w.u8(desc.flag);  // the whole byte, as given
  w.u16be(seq);
  w.u32be(desc.msgId);
  w.u32be(desc.length);
  if (desc.payload != nullptr) w.bytes({desc.payload, desc.length});
  packet.size = size;
  return VESK_OK;
}

uint32_t clUnpack(ClLayer &layer, veskClDesc &desc, const Packet &packet) {
  desc = {};
  if (packet.size < kClHeaderSize) {
    setError(layer.errText, 353, " packet size(%d) less than min length (%d)]",
             static_cast<int>(packet.size), static_cast<int>(kClHeaderSize));
    return VESK_ERR;
  }

  ByteReader r({packet.bytes, packet.size});
  const uint8_t version = *r.u8();
  const uint8_t flags = *r.u8();
  const uint16_t seq = *r.u16be();
  const uint32_t msgId = *r.u32be();
  const uint32_t length = *r.u32be();

  if (version != kClVersion) {
    setError(layer.errText, 376, "cl version mismatch got 0x%02X != expected 0x:%02X", version,
             kClVersion);
    return VESK_ERR_VERSION;
  }
  if ((flags & ~kFlagBit) != 0) {
    setError(layer.errText, 396, "invalid reserved val got 0x%02X != expected :0x00",
             flags & ~kFlagBit & 0xFF);
    return VESK_ERR_RESERVED;
  }
  // Fewer payload bytes than received are delivered as written; more would point the caller
  // past the end of the packet.
  if (length > r.remaining()) {
    setError(layer.errText, 410, "cl length value(%u) more than received payload bytes(%u)]",
             length, static_cast<uint32_t>(r.remaining()));
    return VESK_ERR_LENGTH;
  }

  desc.msgId = msgId;
  desc.seq = seq;
  desc.flag = flags & kFlagBit;
  desc.length = length;
  desc.payload = r.rest().data();

  if (layer.seqOn == 1) {
    if (seq != layer.seq) {
      setError(layer.errText, 423, "sequence number mismatch got 0x%08X != expected :0x%08X",
               static_cast<unsigned>(seq), static_cast<unsigned>(layer.seq));
      layer.seq = static_cast<uint16_t>(seq + 1);
      return VESK_ERR_SEQ;
    }
    ++layer.seq;
  }
  return VESK_OK;
}

}  // namespace

uint32_t cl_codec(ClLayer &layer, int32_t direction, veskClDesc &desc, Packet &packet) {
  // Checked before the direction, so unpack reports a null packet with the same text.
  if (packet.bytes == nullptr) {
    setError(layer.errText, 291, "output data memory is null]");
    return VESK_ERR;
  }
  switch (direction) {
    case kPack:
      return clPack(layer, desc, packet);
    case kUnpack:
      return clUnpack(layer, desc, packet);
    default:
      return VESK_ERR;
  }
}

}  // namespace zel::vesk
