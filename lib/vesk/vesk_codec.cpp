// SPDX-License-Identifier: GPL-2.0-or-later
// zel_vesk_pack, zel_vesk_unpack and zel_vesk_sync: the handle's type picks the layer routine,
// and the two-layer routine runs the AFL and CL routines one inside the other.
#include "vesk/vesk_codec.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "common/bytes.hpp"

namespace zel::vesk {

uint32_t afl_cl_codec(veskHandle &handle, int32_t direction, veskMsgDesc &desc, Packet &packet) {
  // Each layer runs on its own copy of the handle's state; only one layer can fail, and it
  // writes its text straight into the handle's errText.
  ClLayer cl{handle.clSeqOn, handle.clSeq, handle.errText};
  AflLayer afl{handle.aflSeqOn, handle.aflSeq, handle.crcOn, handle.errText};

  if (direction == kPack) {
    packet.size = 0;
    // The CL packet is built in a scratch buffer and becomes the AFL payload. No memory reaches
    // the CL packer as a null buffer.
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow)
                                           uint8_t[size_t{desc.length} + kClHeaderSize]);
    veskClDesc clDesc{desc.msgId, desc.seq, desc.flag, desc.length, desc.payload};
    Packet clPacket = Packet::forPack(scratch.get());
    if (uint32_t rc = cl_codec(cl, kPack, clDesc, clPacket); rc != VESK_OK) return rc;

    // While AFL numbering is off the AFL header carries the descriptor's sequence number too.
    veskAflDesc aflDesc{desc.talField1, desc.talField2, static_cast<uint16_t>(desc.seq),
                        clPacket.size, scratch.get()};
    if (uint32_t rc = afl_codec(afl, kPack, aflDesc, packet); rc != VESK_OK) return rc;

    handle.clSeq = cl.seq;
    handle.aflSeq = afl.seq;
    return VESK_OK;
  }

  if (direction == kUnpack) {
    veskAflDesc aflDesc{};
    veskClDesc clDesc{};
    uint32_t rc = afl_codec(afl, kUnpack, aflDesc, packet);
    if (rc == VESK_OK) {
      Packet inner = Packet::forUnpack(aflDesc.payload, aflDesc.length);
      rc = cl_codec(cl, kUnpack, clDesc, inner);
    }
    desc.msgId = clDesc.msgId;
    desc.seq = clDesc.seq;
    desc.flag = clDesc.flag;
    desc.length = clDesc.length;
    desc.payload = clDesc.payload;
    desc.talField1 = aflDesc.talField1;
    desc.talField2 = aflDesc.talField2;
    desc.aflSeq = aflDesc.seq;
    // Receiving does not change a two-layer handle's CRC switch.
    handle.clSeq = cl.seq;
    handle.aflSeq = afl.seq;
    return rc;
  }
  return VESK_ERR;
}

namespace {

bool validType(const veskHandle *handle) { return handle != nullptr && isHandleType(handle->type); }

// One call of the layer routine that the handle's type selects, with its counters (and, for an
// AFL-only handle, its CRC switch) written back afterwards.
uint32_t run(veskHandle &handle, int32_t direction, void *desc, Packet &packet) {
  switch (handle.type) {
    case VESK_TYPE_CL: {
      ClLayer layer{handle.clSeqOn, handle.clSeq, handle.errText};
      const uint32_t rc = cl_codec(layer, direction, *static_cast<veskClDesc *>(desc), packet);
      handle.clSeq = layer.seq;
      return rc;
    }
    case VESK_TYPE_AFL: {
      AflLayer layer{handle.aflSeqOn, handle.aflSeq, handle.crcOn, handle.errText};
      const uint32_t rc = afl_codec(layer, direction, *static_cast<veskAflDesc *>(desc), packet);
      handle.aflSeq = layer.seq;
      handle.crcOn = layer.crcOn;
      return rc;
    }
    case VESK_TYPE_AFL_CL:
      return afl_cl_codec(handle, direction, *static_cast<veskMsgDesc *>(desc), packet);
    default:
      return VESK_ERR;
  }
}

// Bytes that identify an AFL packet start: sync, version and protocol.
constexpr size_t kSyncWindow = 10;

bool isPacketStart(std::span<const uint8_t> window) {
  ByteReader r(window);
  const auto sync1 = r.u8(), sync2 = r.u8();
  r.skip(6);  // length and sequence number
  const auto version = r.u8(), protocol = r.u8();
  return sync1 == 'A' && sync2 == 'F' && (version == 0x10 || version == 0x90) && protocol == 'i';
}

}  // namespace
}  // namespace zel::vesk

using namespace zel::vesk;

uint32_t zel_vesk_pack(veskHandle *handle, void *desc, uint8_t *packet, uint32_t *size) {
  if (!validType(handle) || desc == nullptr || size == nullptr) return VESK_ERR;
  Packet p = Packet::forPack(packet);
  const uint32_t rc = run(*handle, kPack, desc, p);
  *size = p.size;
  return rc;
}

uint32_t zel_vesk_unpack(veskHandle *handle, const uint8_t *packet, uint32_t size, void *desc) {
  if (!validType(handle) || desc == nullptr) return VESK_ERR;
  Packet p = Packet::forUnpack(packet, size);
  return run(*handle, kUnpack, desc, p);
}

uint32_t zel_vesk_sync(veskHandle *handle, uint8_t *buffer, uint32_t *len, uint32_t *packetLen) {
  if (!validType(handle) || handle->type == VESK_TYPE_CL) return VESK_ERR;
  if (buffer == nullptr || len == nullptr || packetLen == nullptr) return VESK_ERR;

  *packetLen = 0;
  const std::span<const uint8_t> bytes(buffer, *len);
  for (size_t i = 0; i + kSyncWindow <= bytes.size(); ++i) {
    if (!isPacketStart(bytes.subspan(i, kSyncWindow))) continue;
    zel::ByteReader r(bytes.subspan(i + 2, 4));
    const uint64_t length = uint64_t{*r.u32be()} + kAflLengthOffset;  // L + 12, without wrapping
    std::memmove(buffer, buffer + i, bytes.size() - i);
    *len -= static_cast<uint32_t>(i);
    // A length beyond 32 bits (only a false start can claim one) reads as the largest value,
    // never as a short packet.
    *packetLen = length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length);
    return VESK_OK;
  }
  // No start: keep the bytes that could still begin one once more arrive.
  const size_t keep = bytes.size() < kSyncWindow ? bytes.size() : kSyncWindow - 1;
  std::memmove(buffer, buffer + bytes.size() - keep, keep);
  *len = static_cast<uint32_t>(keep);
  return VESK_ERR;
}
