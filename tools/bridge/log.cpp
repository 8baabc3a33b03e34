// SPDX-License-Identifier: GPL-2.0-or-later
#include "log.hpp"

#include <cstdio>
#include <cstdlib>

#include "event.hpp"

namespace marlod {

const char *level_name(Level level) {
  switch (level) {
    case Level::error:
      return "error";
    case Level::warning:
      return "warning";
    case Level::info:
      return "info";
    case Level::debug:
      break;
  }
  return "debug";
}

// Text from the network never reaches a terminal raw: C0 controls, DEL and the C1 range (as
// UTF-8) are written as \xNN.
static void append_printable(std::string &out, std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c < 0x20 || c == 0x7F || c1) {
      if (c1) c = static_cast<unsigned char>(text[++i]);
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

Log::Log(bool verbose) : verbose_(verbose), journal_(std::getenv("JOURNAL_STREAM") != nullptr) {}

void Log::write(Level level, std::string_view text) {
  uint64_t wall = wall_usec();
  if (level != Level::debug) {
    recent_.push_back({wall, level, std::string(text)});
    if (recent_.size() > kRecent) recent_.pop_front();
  }
  if (level == Level::debug && !verbose_) return;
  // A line is one event: whatever came from outside has had its line breaks replaced before
  // it gets here, and one write keeps it whole.
  std::string line;
  if (journal_) {
    line = "<" + std::to_string(static_cast<int>(level)) + ">";
  } else {
    line = iso_time(wall) + " " + level_name(level) + ": ";
  }
  append_printable(line, text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace marlod
