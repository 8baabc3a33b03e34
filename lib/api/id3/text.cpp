// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3/text.hpp"

namespace zel::id3 {

namespace {

// Appends to a string, for putUtf8.
struct StringSink {
  std::string &out;
  void put(uint8_t b) { out.push_back(static_cast<char>(b)); }
};

size_t ucs4Length(const id3_ucs4_t *text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

void utf8ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out) {
  const auto *s = reinterpret_cast<const uint8_t *>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = s[i++];
    id3_ucs4_t c = lead;
    int more = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the first continuation byte
    if (lead < 0x80) {
      more = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
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
      *out++ = kReplacement;
      continue;
    }
    for (; more > 0; --more) {
      if (i == n || s[i] < low || s[i] > high) break;
      c = c << 6 | (s[i++] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (more > 0) c = kReplacement;
    *out++ = c == '\n' && !keepLineFeeds ? id3_ucs4_t{' '} : c;
  }
  *out = 0;
}

void latin1ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out) {
  for (char ch : in) {
    const auto b = static_cast<uint8_t>(ch);
    *out++ = b == '\n' && !keepLineFeeds ? id3_ucs4_t{' '} : b;
  }
  *out = 0;
}

std::string ucs4ToLatin1(const id3_ucs4_t *text) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(ucs4Length(text));
  for (; *text != 0; ++text) out.push_back(static_cast<char>(*text <= 0xFF ? *text : '?'));
  return out;
}

std::string ucs4ToUtf8(const id3_ucs4_t *text) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(ucs4Length(text));
  StringSink sink{out};
  for (; *text != 0; ++text) putUtf8(sink, unicodeScalar(*text));
  return out;
}

}  // namespace zel::id3
