// SPDX-License-Identifier: GPL-2.0-or-later
// The two byte sinks the ID3 writer runs over, one that counts and one that writes into a
// buffer of fixed size, and the templates that lay text down on either: the byte-order mark,
// the characters in each text encoding and the terminators are described here alone. The writer
// runs them over libid3tag's model, the codec's measure over the record's values, so the length
// measured is the length written.
#pragma once

#include <id3tag.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "api/id3/text.hpp"
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

// The text encoding a text-encoding field or a setting names: 0 to 3; anything else counts as 0.
constexpr int knownEncoding(long value) {
  return value >= ID3_FIELD_TEXTENCODING_ISO_8859_1 && value <= ID3_FIELD_TEXTENCODING_UTF_8
             ? static_cast<int>(value)
             : ID3_FIELD_TEXTENCODING_ISO_8859_1;
}

// The characters of a string in libid3tag's model: zero-terminated UCS-4 (null: none).
struct ModelChars {
  const id3_ucs4_t *text;
  template <class Fn>
  void each(Fn &&fn) const {
    if (text == nullptr) return;
    for (const id3_ucs4_t *p = text; *p != 0; ++p) fn(*p);
  }
  template <class Sink>
  void putLatin1(Sink &out) const {
    each([&out](id3_ucs4_t c) { out.put(c <= 0xFF ? static_cast<uint8_t>(c) : uint8_t{'?'}); });
  }
};

// The characters of the string the codec gives libid3tag for a value: read as UTF-8 in a
// Unicode encoding (each), byte for byte in ISO-8859-1 (putLatin1); a line feed made a blank is
// still one character. doubledParen: a leading "(" written as "((".
struct ValueChars {
  std::string_view bytes;
  bool doubledParen = false;
  template <class Fn>
  void each(Fn &&fn) const {
    if (doubledParen) fn(id3_ucs4_t{'('});
    forEachUtf8Char(bytes, fn);
  }
  template <class Sink>
  void putLatin1(Sink &out) const {
    if (doubledParen) out.put(uint8_t{'('});
    out.put(std::span(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()));
  }
};

// One string in the text encoding, without terminator; UTF-16 with mark begins with FE FF even
// when empty. A character the encoding cannot carry becomes '?' (ISO-8859-1) or U+FFFD
// (Unicode).
template <class Sink, class Chars>
void putText(Sink &out, const Chars &text, int encoding) {
  switch (encoding) {
    case ID3_FIELD_TEXTENCODING_UTF_16:
      out.u16be(0xFEFF);
      [[fallthrough]];
    case ID3_FIELD_TEXTENCODING_UTF_16BE:
      text.each([&out](id3_ucs4_t c) { putUtf16(out, unicodeScalar(c)); });
      break;
    case ID3_FIELD_TEXTENCODING_UTF_8:
      text.each([&out](id3_ucs4_t c) { putUtf8(out, unicodeScalar(c)); });
      break;
    default:
      text.putLatin1(out);
      break;
  }
}

// The terminator of a string in the text encoding: two zero bytes in UTF-16, one otherwise.
template <class Sink>
void putTerminator(Sink &out, int encoding) {
  if (encoding == ID3_FIELD_TEXTENCODING_UTF_16 || encoding == ID3_FIELD_TEXTENCODING_UTF_16BE)
    out.u16be(0);
  else
    out.put(0);
}

}  // namespace zel::id3
