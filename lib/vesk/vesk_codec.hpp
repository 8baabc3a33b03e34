// SPDX-License-Identifier: GPL-2.0-or-later
// The layer routines behind zel_vesk_pack and zel_vesk_unpack. Each routine serves both
// directions; the public functions pick one by the handle's type.
//
// CL packet, big-endian:                 AFL packet, big-endian:
//    0  version 0x10                        0  'A'  1  'F'
//    1  flags (bit 0 = flag, rest 0)        2  L = bytes from offset 12 to the end (CRC included)
//    2  sequence number (16)                6  sequence number (16)
//    4  msgId (32)                          8  version 0x90 with CRC, 0x10 without (bit 7)
//    8  payload length (32)                 9  protocol 'i'
//   12  payload                            10  TAL version 0x10
//                                          11  TAL extension count E in bits 7-5 (sent as 0)
//                                          12  E extension words of 4 bytes (skipped on receipt)
//                                      12+4E  talField1, talField2
//                                      14+4E  payload
//                                     12+L-2  CRC-16 over every byte before it (0000 when off)
#pragma once

#include <cstdint>

#include "vesk/zel_vesk.hpp"

namespace zel::vesk {

// Whether type names one of the three handle types.
inline constexpr bool isHandleType(int32_t type) {
  return type >= VESK_TYPE_CL && type <= VESK_TYPE_AFL_CL;
}

inline constexpr int32_t kPack = 0;
inline constexpr int32_t kUnpack = 1;

inline constexpr uint32_t kClHeaderSize = 12;
inline constexpr uint32_t kAflMinSize = 14;     // up to the TAL fields, with E = 0
inline constexpr uint32_t kAflHeaderSize = 14;  // as sent: no extension words
inline constexpr uint32_t kAflCrcSize = 2;
inline constexpr uint32_t kAflLengthOffset = 12;  // L counts the bytes from here on

// The bytes one codec call works on. Pack writes through `out` (room for the payload plus the
// layer's header and trailer) and reports the packet length in `size`; unpack reads the `size`
// bytes at `bytes` and never writes. `bytes` is the packet in both directions.
struct Packet {
  const uint8_t *bytes = nullptr;
  uint8_t *out = nullptr;
  uint32_t size = 0;

  static Packet forPack(uint8_t *out) { return {out, out, 0}; }
  static Packet forUnpack(const uint8_t *in, uint32_t size) { return {in, nullptr, size}; }
};

// The CL part of a handle for the length of one call. errText is where a failure is written.
struct ClLayer {
  uint8_t seqOn;
  uint16_t seq;
  char *errText;
};

// The AFL part of a handle for the length of one call.
struct AflLayer {
  uint8_t seqOn;
  uint16_t seq;
  uint8_t crcOn;
  char *errText;
};

// CL pack (direction kPack): the header and, when desc.payload is set, desc.length payload bytes.
// With numbering on the counter's value goes into the packet and into desc.seq.
// CL unpack (direction kUnpack): checks size, version, reserved bits and the length field
// against the bytes received, then the sequence number with numbering on.
// Returns VESK_OK or a VESK_ERR code with its text in layer.errText.
uint32_t cl_codec(ClLayer &layer, int32_t direction, veskClDesc &desc, Packet &packet);

// AFL pack and unpack, as cl_codec. Unpack sets layer.crcOn from the received version byte and
// refuses a length field or extension count that would place the TAL bytes, the payload or the
// CRC outside the received bytes.
uint32_t afl_codec(AflLayer &layer, int32_t direction, veskAflDesc &desc, Packet &packet);

// An AFL packet whose payload is a CL packet. The handle's counters advance as in the
// single-layer handles; receiving never changes its crcOn. Pack never writes into desc.
uint32_t afl_cl_codec(veskHandle &handle, int32_t direction, veskMsgDesc &desc, Packet &packet);

}  // namespace zel::vesk
