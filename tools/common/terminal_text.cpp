// SPDX-License-Identifier: GPL-2.0-or-later
#include "terminal_text.hpp"

#include <cstdint>
#include <cstdio>

namespace zel::tools {

namespace {

void escape(std::string &out, uint8_t byte) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);
  out += hex;
}

bool isC0OrDel(uint8_t byte) {
  return (byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F;
}

bool isC1Byte(uint8_t byte) { return byte >= 0x80 && byte <= 0x9F; }

// The length of the well-formed UTF-8 sequence at the start of s (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t sequenceLength(std::string_view s) {
  const auto lead = static_cast<uint8_t>(s[0]);
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b < low || b > high) return 0;
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

}  // namespace

std::string terminalText(std::string_view text, Charset charset) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80 || charset == Charset::latin1) {
      if (isC0OrDel(byte) || isC1Byte(byte))
        escape(out, byte);
      else
        out += static_cast<char>(byte);
      ++i;
      continue;
    }
    const size_t length = sequenceLength(text.substr(i));
    if (length == 0) {
      if (isC1Byte(byte))
        escape(out, byte);
      else
        out += static_cast<char>(byte);
      ++i;
      continue;
    }
    // U+0080 to U+009F: C2 80 to C2 9F.
    const bool c1 = length == 2 && byte == 0xC2 && isC1Byte(static_cast<uint8_t>(text[i + 1]));
    for (size_t k = 0; k < length; ++k) {
      if (c1)
        escape(out, static_cast<uint8_t>(text[i + k]));
      else
        out += text[i + k];
    }
    i += length;
  }
  return out;
}

}  // namespace zel::tools
