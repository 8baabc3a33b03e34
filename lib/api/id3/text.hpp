// SPDX-License-Identifier: GPL-2.0-or-later
// Text conversions between a message's values and ID3 text.
//
// A value is bytes: ISO-8859-1 characters for text encoding 0, UTF-8 for 1, 2 and 3. Values
// become libid3tag's UCS-4 strings on the way in; the writer lays UCS-4 down as ISO-8859-1,
// UTF-16 (big-endian code units) or UTF-8 through the sink it writes to.
#pragma once

#include <id3tag.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel::id3 {

constexpr id3_ucs4_t kReplacement = 0xFFFD;

inline bool isUnicodeEncoding(int encoding) {
  return encoding == ID3_FIELD_TEXTENCODING_UTF_16 || encoding == ID3_FIELD_TEXTENCODING_UTF_16BE ||
         encoding == ID3_FIELD_TEXTENCODING_UTF_8;
}

// Calls fn with each character of UTF-8 text, in order: each ill-formed sequence (its longest
// valid prefix) is one U+FFFD; overlong forms, surrogates and values above U+10FFFF are
// ill-formed.
template <class Fn>
void forEachUtf8Char(std::string_view in, Fn &&fn) {
  const auto *s = reinterpret_cast<const uint8_t *>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = s[i++];
    if (lead < 0x80) {
      fn(id3_ucs4_t{lead});
      continue;
    }
    id3_ucs4_t c;
    int more;
    uint8_t low = 0x80, high = 0xBF;  // range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      fn(kReplacement);
      continue;
    }
    for (; more > 0; --more) {
      if (i == n || s[i] < low || s[i] > high) break;
      c = c << 6 | (s[i++] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    fn(more > 0 ? kReplacement : c);
  }
}

// Decodes UTF-8 into out (room for in.size() + 1), zero-terminated. Each ill-formed sequence
// (its longest valid prefix) becomes one U+FFFD; overlong forms, surrogates and values above
// U+10FFFF are ill-formed (forEachUtf8Char). Line feeds become blanks unless keepLineFeeds.
void utf8ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out);

// ISO-8859-1: one character per byte; otherwise as utf8ToUcs4.
void latin1ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out);

// A character a Unicode encoding can carry: itself, or U+FFFD for surrogates and values above
// U+10FFFF.
inline id3_ucs4_t unicodeScalar(id3_ucs4_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF) ? c : kReplacement;
}

// One scalar value as UTF-16 code units, big-endian.
template <class Sink>
void putUtf16(Sink &out, id3_ucs4_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.u16be(static_cast<uint16_t>(0xD800 + (c >> 10)));
    out.u16be(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.u16be(static_cast<uint16_t>(c));
  }
}

// One scalar value as UTF-8.
template <class Sink>
void putUtf8(Sink &out, id3_ucs4_t c) {
  if (c < 0x80) {
    out.put(static_cast<uint8_t>(c));
  } else if (c < 0x800) {
    out.put(static_cast<uint8_t>(0xC0 | c >> 6));
    out.put(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.put(static_cast<uint8_t>(0xE0 | c >> 12));
    out.put(static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F)));
    out.put(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  } else {
    out.put(static_cast<uint8_t>(0xF0 | c >> 18));
    out.put(static_cast<uint8_t>(0x80 | (c >> 12 & 0x3F)));
    out.put(static_cast<uint8_t>(0x80 | (c >> 6 & 0x3F)));
    out.put(static_cast<uint8_t>(0x80 | (c & 0x3F)));
  }
}

// Decoded text: a zero-terminated UCS-4 string (null: none) as the bytes the writer lays down
// for it in encoding 0 (characters above U+00FF as '?') or as UTF-8 (surrogates and values
// above U+10FFFF as U+FFFD).
std::string ucs4ToLatin1(const id3_ucs4_t *text);
std::string ucs4ToUtf8(const id3_ucs4_t *text);

// UTF-8 text as ISO-8859-1 bytes, into out; false when it holds a character beyond U+00FF or an
// ill-formed sequence.
bool utf8ToLatin1(std::string_view in, std::string &out);

}  // namespace zel::id3
