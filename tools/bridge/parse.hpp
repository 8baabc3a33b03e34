// SPDX-License-Identifier: GPL-2.0-or-later
// Reading input events: a JSON object, a line of a text file through a pattern, the framing and
// documents of the playout's PAD feed, and lines of a byte stream.
//
// No function here throws or logs: each answers with a Parsed whose status says what the caller
// does (ok: an event; invalid: log why as an error; ignored: log why, nothing else) and whose
// repaired flag asks for a log line that invalid UTF-8 was replaced. Every text that comes out
// (the item's values and why) is valid UTF-8 without NUL; why is one line of bounded length.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

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
//  - Invalid UTF-8 is replaced with U+FFFD (each maximal ill-formed subpart) before parsing.
//  - Text keys take a string; id also takes a whole number (its decimal text). null is the same
//    as an absent key. NUL characters are removed (the library takes C strings). Empty values
//    are not stored in item.text.
//  - duration: seconds as a number or a numeric string (surrounding blanks allowed), fractions
//    allowed, 0 < d <= 86400; "" or null: unknown.
//  - clear: true or false (or null). {"clear": true} ends the item: item.clear, no text, no
//    duration, whatever else the object holds (wrong types elsewhere are still invalid).
//  - ignored: an object with no item key carrying a value and no clear:true ({"clear": false},
//    {}, only unknown keys), and empty or blank input (keep-alives).
//  - invalid: not JSON, not an object, trailing garbage, nesting deeper than 32 levels, numbers
//    out of range or beyond a double, wrong types.
Parsed parse_json_item(std::string_view bytes);

// One line of a watched text file read through a pattern such as "{artist} - {title}".
//  - The pattern's keys are those of kItemKeys and duration (seconds, as in JSON); the literal
//    parts between keys separate them; \ escapes the next character (\{ is a literal brace).
//    Two keys need a literal between them; a key appears at most once.
//  - The line must begin with the pattern's first literal and end with its last; each literal
//    between two keys is found leftmost ("A - B - C" through "{artist} - {title}" gives artist
//    "A", title "B - C"). Values are trimmed of blanks.
//  - A leading byte-order mark and trailing CR/LF are stripped, invalid UTF-8 is replaced, NUL
//    removed. An empty (or blank) line is ignored; a line that does not match is invalid; a bad
//    pattern is invalid with a reason that starts with "pattern: ".
Parsed parse_text_line(std::string_view line, std::string_view pattern);

// Empty when the pattern is usable by parse_text_line, else why not (for the configuration).
std::string pattern_error(std::string_view pattern);

// One document of the PAD feed ({"padUpdate": {...}}): the now record of a configured log
// machine (on air only when onair_only), or the end of the item for "now": null.
//  - ignored: a machine not in config.machines; onairFlag not true (false, null or missing)
//    when onair_only.
//  - ok: "now": null gives item.clear; a now record gives title, artist, album, isrc, group
//    (groupName), id (songId, else cartNumber as decimal text), start (startDateTime) and
//    duration (length / 1000; a length of 0, null or none is unknown). Empty strings and nulls
//    are just empty.
//  - invalid: as parse_json_item, and no padUpdate object, machine not a whole number, no now
//    key, length below 0 or above 86400000, fields of the wrong type.
Parsed parse_pad_document(std::string_view document, const RivendellConfig &config);

// Splits a byte stream into lines ending in LF (a CR before it is dropped); empty lines are
// skipped. A line longer than the limit (bytes, without its CR LF) is an overflow: the stream is
// to be closed. Holds at most the bytes of one line beyond what the caller has not taken yet, so
// a caller that takes every line after each feed keeps it within the limit plus one read.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t limit = 64 * 1024) : limit_(limit) {}
  // Appends bytes; returns false on overflow (then nothing more is taken). The lines completed
  // before the overflowing one are still handed out by next().
  bool feed(std::string_view bytes);
  std::optional<std::string> next();
  // An unterminated last line (without a trailing CR), at end of stream; empty after overflow.
  std::string rest() const;
  bool overflowed() const { return overflow_; }

 private:
  std::size_t limit_;
  std::string buffer_;  // the unterminated line
  std::deque<std::string> lines_;
  bool overflow_ = false;
};

// Splits the PAD feed into documents: pretty-printed JSON with CRLF line ends, each followed by
// an empty line; LF alone is taken too, and a line holding only blanks counts as empty. Blank
// lines before a document are skipped. A document is handed out with its own line ends, without
// the empty line after it. A document larger than the limit is an overflow: feed returns false
// and nothing more is taken (the connection is to be closed).
class PadFramer {
 public:
  explicit PadFramer(std::size_t limit = 256 * 1024) : limit_(limit) {}
  bool feed(std::string_view bytes);
  std::optional<std::string> next();
  // Bytes of an unfinished document are pending (a feed closed now closed mid-document).
  bool partial() const { return !document_.empty() || !line_blank_; }
  bool overflowed() const { return overflow_; }

 private:
  static bool blank(std::string_view line);
  std::size_t limit_;
  std::string line_;        // the unterminated line
  bool line_blank_ = true;  // it holds only blanks so far
  std::string document_;    // the complete lines of the unfinished document
  std::deque<std::string> documents_;
  bool overflow_ = false;
};

}  // namespace marlod
