// SPDX-License-Identifier: GPL-2.0-or-later
// The application framing layer: sync bytes, length, sequence number, version, protocol, the
// TAL bytes, the payload and a CRC-16 trailer over everything before it.
#include <cstdint>
#include <limits>

#include "common/bytes.hpp"
#include "vesk/vesk_codec.hpp"
#include "vesk/zel_crc.hpp"

namespace zel::vesk {
namespace {

constexpr uint8_t kSync1 = 'A';
constexpr uint8_t kSync2 = 'F';
constexpr uint8_t kAflVersionCrc = 0x90;    // bit 7 announces the CRC in the trailer
constexpr uint8_t kAflVersionPlain = 0x10;  // no CRC: the trailer is 0000 and not looked at
constexpr uint8_t kCrcBit = 0x80;
constexpr uint8_t kProtocol = 'i';
constexpr uint8_t kTalVersion = 0x10;
constexpr unsigned kExtCountShift = 5;
constexpr uint32_t kExtWordSize = 4;
constexpr uint32_t kAflOverhead = kAflHeaderSize + kAflCrcSize;
constexpr int32_t kCrcWidth = 16;

uint32_t aflPack(AflLayer &layer, veskAflDesc &desc, Packet &packet) {
  packet.size = 0;
  if (packet.out == nullptr) {
    setError(layer.errText, 545, "output data memory is null]");
    return VESK_ERR;
  }
  if (desc.length > std::numeric_limits<uint32_t>::max() - kAflOverhead) {
    setError(layer.errText, 560, "payload length(%u) exceeds packet limit]", desc.length);
    return VESK_ERR;
  }

  const uint16_t seq = layer.seqOn == 1 ? layer.seq : desc.seq;
  if (layer.seqOn == 1) desc.seq = seq;

  const uint32_t size = desc.length + kAflOverhead;
  ByteWriter w({packet.out, size});
  w.u8(kSync1);
  w.u8(kSync2);
  w.u32be(desc.length + kAflOverhead - kAflLengthOffset);  // L = n + 4
  w.u16be(seq);
  // A packet announces a CRC only when it carries one; without it the two trailer bytes stay
  // (L counts them) and hold 0000.
  w.u8(layer.crcOn == 1 ? kAflVersionCrc : kAflVersionPlain);
  w.u8(kProtocol);
  w.u8(kTalVersion);
  w.u8(0x00);  // no extension words
  w.u8(desc.talField1);
  w.u8(desc.talField2);
  if (desc.payload != nullptr) w.bytes({desc.payload, desc.length});

  uint16_t crc = 0;
  if (layer.crcOn == 1) {
    uint32_t reg = 0;
    if (zel_crc_calc(kCrcWidth, packet.out, kAflHeaderSize + desc.length, &reg) != 1) {
      setError(layer.errText, 575, "zel_crc_calc failed]");
      return VESK_ERR_CRC;
    }
    crc = static_cast<uint16_t>(reg >> 16);
  }
  ByteWriter trailer({packet.out + kAflHeaderSize + desc.length, kAflCrcSize});
  trailer.u16be(crc);

  if (layer.seqOn == 1) ++layer.seq;  // only a completed packet uses up a number
  packet.size = size;
  return VESK_OK;
}

uint32_t aflUnpack(AflLayer &layer, veskAflDesc &desc, const Packet &packet) {
  desc = {};
  if (packet.size < kAflMinSize) {
    setError(layer.errText, 610, " packet size(%d) less than min length (%d)]",
             static_cast<int>(packet.size), static_cast<int>(kAflMinSize));
    return VESK_ERR_PACKET;
  }
  if (packet.bytes == nullptr) {
    setError(layer.errText, 622, "data is NULL memory]");
    return VESK_ERR;
  }

  ByteReader r({packet.bytes, packet.size});
  const uint8_t sync1 = *r.u8();
  const uint8_t sync2 = *r.u8();
  if (sync1 != kSync1 || sync2 != kSync2) {
    setError(layer.errText, 633, "invalid afl sync byte received{%c%c} != expected{%c%c}", sync1,
             sync2, kSync1, kSync2);
    return VESK_ERR_PACKET;
  }
  const uint32_t length = *r.u32be();  // L
  const uint16_t seq = *r.u16be();
  const uint8_t version = *r.u8();
  if (version != kAflVersionPlain && version != kAflVersionCrc) {
    setError(layer.errText, 656, "unsupported afl version received(%02X) != expected(%02X)",
             version, kAflVersionCrc);
    return VESK_ERR_VERSION;
  }
  // An AFL-only handle keeps this: its CRC setting follows the last packet received.
  layer.crcOn = (version & kCrcBit) != 0 ? 1 : 0;
  const uint8_t protocol = *r.u8();
  if (protocol != kProtocol) {
    setError(layer.errText, 678, "unsupported protocol received ('%c') != expected('%c')", protocol,
             kProtocol);
    return VESK_ERR_PACKET;
  }
  const uint8_t talVersion = *r.u8();
  if (talVersion != kTalVersion) {
    setError(layer.errText, 692, "unsupported tal version received(%02X) != expected(%02X)",
             talVersion, kTalVersion);
    return VESK_ERR_VERSION;
  }
  const uint32_t extWords = *r.u8() >> kExtCountShift;  // E; bits 4-0 are ignored

  // L must cover the extension words, the two TAL fields and the CRC, and must not reach past
  // the bytes received. A shorter packet than the bytes received is caught further down.
  const uint64_t extBytes = uint64_t{kExtWordSize} * extWords;
  const uint64_t fixedInL = extBytes + (kAflHeaderSize - kAflLengthOffset) + kAflCrcSize;
  if (length < fixedInL || uint64_t{length} + kAflLengthOffset > packet.size) {
    setError(layer.errText, 705,
             "afl length(%u) and extension count(%u) do not fit received size(%u)]", length,
             extWords, packet.size);
    return VESK_ERR_LENGTH;
  }
  const uint32_t payloadLength = length - static_cast<uint32_t>(fixedInL);

  r.skip(static_cast<size_t>(extBytes));
  const uint8_t talField1 = *r.u8();
  const uint8_t talField2 = *r.u8();
  const uint8_t *payload = r.bytes(payloadLength)->data();
  const uint16_t crcReceived = *r.u16be();

  // From here on every failure delivers the descriptor filled.
  desc.talField1 = talField1;
  desc.talField2 = talField2;
  desc.seq = seq;
  desc.length = payloadLength;
  desc.payload = payload;

  if (layer.crcOn == 1) {
    uint32_t reg = 0;
    if (zel_crc_calc(kCrcWidth, packet.bytes, packet.size - kAflCrcSize, &reg) != 1) {
      setError(layer.errText, 740, "zel_crc_calc failed]");
      return VESK_ERR_CRC;
    }
    const uint16_t crcComputed = static_cast<uint16_t>(reg >> 16);
    if (crcComputed != crcReceived) {
      setError(layer.errText, 763, "crc fails: expected:%08X != recieved:%08X]",
               static_cast<unsigned>(crcComputed), static_cast<unsigned>(crcReceived));
      return VESK_ERR_CRC;
    }
  }

  if (layer.seqOn != 0) {
    if (seq != layer.seq) {
      setError(layer.errText, 789, " afl sequence no. mismatch received(%08X) != expected(%08X)",
               static_cast<unsigned>(seq), static_cast<unsigned>(layer.seq));
      layer.seq = static_cast<uint16_t>(seq + 1);
      return VESK_ERR_SEQ;
    }
    ++layer.seq;
  }

  if (length + kAflLengthOffset != packet.size) {
    setError(layer.errText, 817, "invalid length value actual(%d) != received(%d)]",
             static_cast<int>(length + kAflLengthOffset), static_cast<int>(packet.size));
    return VESK_ERR_LENGTH;
  }
  return VESK_OK;
}

}  // namespace

uint32_t afl_codec(AflLayer &layer, int32_t direction, veskAflDesc &desc, Packet &packet) {
  switch (direction) {
    case kPack:
      return aflPack(layer, desc, packet);
    case kUnpack:
      return aflUnpack(layer, desc, packet);
    default:
      return VESK_ERR;
  }
}

}  // namespace zel::vesk
