// SPDX-License-Identifier: GPL-2.0-or-later
// Text from the network as a terminal may be shown it: its control characters as escapes.
#pragma once

#include <string>
#include <string_view>

namespace zel::tools {

// How the bytes of a text are read: one character each, or UTF-8.
enum class Charset { latin1, utf8 };

// text with every C0 control character other than line feed and tab, DEL, and every C1 control
// character shown as \xHH, one escape per byte (a UTF-8 C1 character as its two bytes,
// \xC2\x9B). In UTF-8, a byte from 0x80 to 0x9F that is not part of a well-formed sequence is
// escaped as well, since a terminal set to ISO-8859-1 would take it as a C1 control; other
// bytes stay as they are. A terminal shown the result changes nothing of its own state.
std::string terminalText(std::string_view text, Charset charset);

}  // namespace zel::tools
