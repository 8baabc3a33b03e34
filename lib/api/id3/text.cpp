// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3/text.hpp"

namespace zel::id3 {

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

}  // namespace zel::id3
