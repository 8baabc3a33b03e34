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
  forEachUtf8Char(in, [&out, keepLineFeeds](id3_ucs4_t c) {
    *out++ = c == '\n' && !keepLineFeeds ? id3_ucs4_t{' '} : c;
  });
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
  const size_t n = ucs4Length(text);
  out.resize(n);
  char *p = out.data();
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(text[i] <= 0xFF ? text[i] : '?');
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

bool utf8ToLatin1(std::string_view in, std::string &out) {
  out.clear();
  out.reserve(in.size());
  bool fits = true;
  forEachUtf8Char(in, [&out, &fits](id3_ucs4_t c) {
    // U+FFFD stands for an ill-formed sequence as well; it has no ISO-8859-1 form either way.
    if (c > 0xFF) fits = false;
    out.push_back(static_cast<char>(c & 0xFF));
  });
  return fits;
}

}  // namespace zel::id3
