// SPDX-License-Identifier: GPL-2.0-or-later
// One log line per event, on standard output. Under systemd (JOURNAL_STREAM set) each line
// carries its priority as "<N>" and no time stamp, so that journalctl -p err works.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace marlod {

enum class Level { error = 3, warning = 4, info = 6, debug = 7 };

const char *level_name(Level level);

struct Event {
  uint64_t wall_usec;
  Level level;
  std::string text;
};

class Log {
 public:
  explicit Log(bool verbose = false);
  void set_verbose(bool verbose) { verbose_ = verbose; }
  void write(Level level, std::string_view text);
  void error(std::string_view text) { write(Level::error, text); }
  void warning(std::string_view text) { write(Level::warning, text); }
  void info(std::string_view text) { write(Level::info, text); }
  void debug(std::string_view text) { write(Level::debug, text); }
  bool verbose() const { return verbose_; }
  // The last lines above debug level, oldest first.
  const std::deque<Event> &recent() const { return recent_; }

  static constexpr std::size_t kRecent = 50;

 private:
  bool verbose_;
  bool journal_;
  std::deque<Event> recent_;
};

}  // namespace marlod
