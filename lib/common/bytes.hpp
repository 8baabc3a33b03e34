// SPDX-License-Identifier: GPL-2.0-or-later
// Bounded byte reading and writing for every wire header of the library.
//
// The byte order is in each name: VESK headers are big-endian, the PSD container's fields are
// little-endian, ID3 sizes are big-endian. A read or write that does not fit returns false (or
// an empty optional) and consumes nothing, so no parser can step past the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace zel {

class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t remaining() const { return bytes_.size() - pos_; }
  size_t position() const { return pos_; }

  std::optional<uint8_t> u8() { return take<uint8_t, 1, false>(); }
  std::optional<uint16_t> u16be() { return take<uint16_t, 2, true>(); }
  std::optional<uint16_t> u16le() { return take<uint16_t, 2, false>(); }
  std::optional<uint32_t> u32be() { return take<uint32_t, 4, true>(); }
  std::optional<uint32_t> u32le() { return take<uint32_t, 4, false>(); }

  // The next n bytes as a view into the reader's buffer.
  std::optional<std::span<const uint8_t>> bytes(size_t n) {
    if (remaining() < n) return std::nullopt;
    auto out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  bool skip(size_t n) { return bytes(n).has_value(); }
  std::span<const uint8_t> rest() const { return bytes_.subspan(pos_); }

 private:
  template <typename T, size_t N, bool BigEndian>
  std::optional<T> take() {
    if (remaining() < N) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 0; i < N; ++i) {
      uint32_t b = bytes_[pos_ + i];
      v |= BigEndian ? b << (8 * (N - 1 - i)) : b << (8 * i);
    }
    pos_ += N;
    return static_cast<T>(v);
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

class ByteWriter {
 public:
  explicit ByteWriter(std::span<uint8_t> out) : out_(out) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return out_.size() - pos_; }

  bool u8(uint8_t v) { return put<1, false>(v); }
  bool u16be(uint16_t v) { return put<2, true>(v); }
  bool u16le(uint16_t v) { return put<2, false>(v); }
  bool u32be(uint32_t v) { return put<4, true>(v); }
  bool u32le(uint32_t v) { return put<4, false>(v); }
  bool bytes(std::span<const uint8_t> src) {
    if (remaining() < src.size()) return false;
    if (!src.empty()) std::memcpy(out_.data() + pos_, src.data(), src.size());
    pos_ += src.size();
    return true;
  }

 private:
  template <size_t N, bool BigEndian>
  bool put(uint32_t v) {
    if (remaining() < N) return false;
    for (size_t i = 0; i < N; ++i)
      out_[pos_ + i] = static_cast<uint8_t>(v >> (BigEndian ? 8 * (N - 1 - i) : 8 * i));
    pos_ += N;
    return true;
  }

  std::span<uint8_t> out_;
  size_t pos_ = 0;
};

}  // namespace zel
