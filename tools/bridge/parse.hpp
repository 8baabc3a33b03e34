// SPDX-License-Identifier: GPL-2.0-or-later
// Reading input events: a JSON object, a line of a text file through a pattern, the framing and
// documents of the playout's PAD feed, and lines of a byte stream.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.hpp"
#include "item.hpp"

namespace marlod {

struct Parsed {
  enum Status { ok, invalid, ignored } status = invalid;
  Item item;              // with ok
  std::string why;        // with invalid or ignored: one line for the log
  bool repaired = false;  // invalid UTF-8 was replaced with U+FFFD
};

// One JSON object with the keys title, artist, album, genre, duration, comment_title, comment,
// id, isrc, group, or {"clear": true}. Unknown keys are ignored.
Parsed parse_json_item(std::string_view bytes);

// One line of a watched text file read through a pattern such as "{artist} - {title}".
Parsed parse_text_line(std::string_view line, std::string_view pattern);

// One document of the PAD feed ({"padUpdate": {...}}): the now record of a configured log
// machine (on air only when onair_only), or the end of the item for "now": null.
Parsed parse_pad_document(std::string_view document, const RivendellConfig &config);

// Splits a byte stream into lines ending in LF (a CR before it is dropped). A line longer than
// the limit is an overflow: the stream is to be closed.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t limit = 64 * 1024) : limit_(limit) {}
  // Appends bytes; returns false on overflow (then nothing more is taken).
  bool feed(std::string_view bytes);
  std::optional<std::string> next();
  std::string rest() const { return buffer_; }  // an unterminated last line, at end of stream
 private:
  std::size_t limit_;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::size_t taken_ = 0;
  bool overflow_ = false;
};

// Splits the PAD feed into documents: pretty-printed JSON with CRLF line ends, each followed by
// an empty line. A document larger than the limit is an overflow.
class PadFramer {
 public:
  explicit PadFramer(std::size_t limit = 256 * 1024) : limit_(limit) {}
  bool feed(std::string_view bytes);
  std::optional<std::string> next();
  bool partial() const { return !buffer_.empty(); }  // bytes of an unfinished document
 private:
  std::size_t limit_;
  std::string buffer_;
  std::vector<std::string> documents_;
  std::size_t taken_ = 0;
  bool overflow_ = false;
};

}  // namespace marlod
