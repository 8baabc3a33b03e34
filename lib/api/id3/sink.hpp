// SPDX-License-Identifier: GPL-2.0-or-later
// The two byte sinks the ID3 writer runs over: one counts, one writes into a buffer of fixed
// size. The same code over both makes the length measured the length written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.hpp"

namespace zel::id3 {

// Counts the bytes it is given.
class CountingSink {
 public:
  void put(uint8_t) { ++count_; }
  void put(std::span<const uint8_t> bytes) { count_ += bytes.size(); }
  void u16be(uint16_t) { count_ += 2; }
  void u32be(uint32_t) { count_ += 4; }
  void skip(size_t n) { count_ += n; }
  size_t position() const { return count_; }
  void patchU32be(size_t, uint32_t) {}

 private:
  size_t count_ = 0;
};

// Writes into a buffer of fixed size; a byte that does not fit marks the sink failed.
class BufferSink {
 public:
  explicit BufferSink(std::span<uint8_t> out) : out_(out), writer_(out) {}
  void put(uint8_t b) {
    if (!writer_.u8(b)) ok_ = false;
  }
  void put(std::span<const uint8_t> bytes) {
    if (!writer_.bytes(bytes)) ok_ = false;
  }
  void u16be(uint16_t v) {
    if (!writer_.u16be(v)) ok_ = false;
  }
  void u32be(uint32_t v) {
    if (!writer_.u32be(v)) ok_ = false;
  }
  size_t position() const { return writer_.position(); }
  // Fills in a size field left open at offset at.
  void patchU32be(size_t at, uint32_t value) {
    if (at > out_.size()) {
      ok_ = false;
      return;
    }
    ByteWriter field(out_.subspan(at));
    if (!field.u32be(value)) ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  std::span<uint8_t> out_;
  ByteWriter writer_;
  bool ok_ = true;
};

}  // namespace zel::id3
