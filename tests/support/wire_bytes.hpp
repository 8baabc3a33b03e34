// SPDX-License-Identifier: GPL-2.0-or-later
// Test support for bytes on the wire: concatenation, fields in both byte orders, an independent
// CRC-16, fixed noise, zlib data, and ID3 tags and frames built by hand. No GoogleTest in here,
// so that the benchmarks build their inputs with the same code as the tests.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zel::test {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
// Seven bits a byte, most significant first: ID3 tag sizes.
inline Bytes syncsafe(uint32_t v) {
  return {static_cast<uint8_t>(v >> 21 & 0x7F), static_cast<uint8_t>(v >> 14 & 0x7F),
          static_cast<uint8_t>(v >> 7 & 0x7F), static_cast<uint8_t>(v & 0x7F)};
}

// CRC-16 bit by bit (poly 0x1021, init 0xFFFF, final XOR 0xFFFF), without the module's tables.
inline uint16_t referenceCrc16(const Bytes &bytes, size_t count) {
  uint16_t reg = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    reg ^= static_cast<uint16_t>(bytes[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ 0x1021)
                           : static_cast<uint16_t>(reg << 1);
  }
  return static_cast<uint16_t>(reg ^ 0xFFFF);
}

// Appends the CRC of all bytes so far, most significant byte first.
inline Bytes withCrc(Bytes packet) { return packet + be16(referenceCrc16(packet, packet.size())); }

// Replaces the last two bytes by the CRC of the bytes before them.
inline Bytes resealed(Bytes packet) {
  packet.erase(packet.end() - 2, packet.end());
  return withCrc(std::move(packet));
}

// Noise of a fixed seed: the same bytes in every run.
inline Bytes noise(size_t n, uint32_t seed = 0x2545F491) {
  Bytes out(n);
  for (uint8_t &b : out) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return out;
}

// zlib data (as a compressed ID3 frame carries it) of plain.
inline Bytes deflated(const Bytes &plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes out(size);
  if (compress2(out.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9) != Z_OK)
    throw std::runtime_error("compress2");
  out.resize(size);
  return out;
}

// ID3 tags and frames, each field as given.
namespace wire {

inline Bytes id3(const Bytes &body, uint8_t major = 3, uint8_t flags = 0) {
  return text("ID3") + Bytes{major, 0, flags} + syncsafe(static_cast<uint32_t>(body.size())) + body;
}
// A v2.3 frame: plain 32-bit size.
inline Bytes frame3(const std::string &id, const Bytes &data, uint16_t flags = 0) {
  return text(id) + be32(static_cast<uint32_t>(data.size())) + be16(flags) + data;
}
// A v2.4 frame: syncsafe size.
inline Bytes frame4(const std::string &id, const Bytes &data, uint16_t flags = 0) {
  return text(id) + syncsafe(static_cast<uint32_t>(data.size())) + be16(flags) + data;
}
// A v2.2 frame: three-letter id, 24-bit size, no flags.
inline Bytes frame2(const std::string &id, const Bytes &data) {
  const auto n = static_cast<uint32_t>(data.size());
  return text(id) +
         Bytes{static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
               static_cast<uint8_t>(n)} +
         data;
}

}  // namespace wire

}  // namespace zel::test
