// SPDX-License-Identifier: GPL-2.0-or-later
// What marlorx shows of a received text: no byte a terminal takes as a control, other than line
// feed and tab; everything else as it came.
#include "terminal_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using zel::tools::Charset;
using zel::tools::terminalText;

TEST(TerminalText, ControlsBecomeEscapes) {
  struct Case {
    const char *name;
    std::string in;
    std::string latin1;  // shown when the text is ISO-8859-1
    std::string utf8;    // shown when it is UTF-8
  } cases[] = {
      {"plain text, line feed and tab", "a\tb\nc", "a\tb\nc", "a\tb\nc"},
      {"clear screen", "\x1B[2J", "\\x1B[2J", "\\x1B[2J"},
      {"window title", "\x1B]0;x\x07", "\\x1B]0;x\\x07", "\\x1B]0;x\\x07"},
      {"return, NUL, DEL", std::string("\r\0\x7F", 3), "\\x0D\\x00\\x7F", "\\x0D\\x00\\x7F"},
      {"C1 CSI",
       "\x9B"
       "2J",
       "\\x9B2J", "\\x9B2J"},
      {"C1 CSI in UTF-8",
       "\xC2\x9B"
       "2J",
       "\xC2\\x9B2J", "\\xC2\\x9B2J"},
      {"U+00A0 and above stay", "\xC2\xA0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80",
       "\xC2\xA0\xC3\xA9\xE6\\x97\xA5\xF0\\x9F\\x98\\x80",
       "\xC2\xA0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
      {"ISO-8859-1 letters", "Caf\xE9", "Caf\xE9", "Caf\xE9"},
      // Not well-formed UTF-8: the lead byte stays, the C1 byte after it does not.
      {"cut sequence", "\xE6\x97", "\xE6\\x97", "\xE6\\x97"},
      {"overlong C1", "\xC0\x9B", "\xC0\\x9B", "\xC0\\x9B"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(terminalText(c.in, Charset::latin1), c.latin1) << c.name;
    EXPECT_EQ(terminalText(c.in, Charset::utf8), c.utf8) << c.name;
  }
}

}  // namespace
