// SPDX-License-Identifier: GPL-2.0-or-later
// The text road of the bridge: template, transliterate, clean up, trim. What comes out always
// fits one ID3 tag of the library.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config.hpp"
#include "item.hpp"
#include "zel_marlo.h"

namespace marlod {

using Fields = SixFields<std::string>;

// A message as the bridge renders it from an item, before any exciter's encoding: its identity.
struct Rendered {
  Fields fields;           // UTF-8, templated and cleaned up
  std::string ufid_owner;  // empty: no UFID group
  std::string ufid_id;     // isrc, else id
  bool operator==(const Rendered &) const = default;
  bool empty() const;  // no text in any field and no UFID: a flush only
};

// A message for one encoding, as it goes on air.
struct Fitted {
  Fields fields;     // UTF-8; for ID3 encoding 0 every character is within Latin-1
  int id3_encoding;  // ZEL_MARLO_ID3_ENC_ISO_8859_1, _UTF_16 or _UTF_8
};

namespace detail {

// Index of the ']' that closes the part opened at open, or npos. Keys and escapes are skipped the
// way expansion reads them, so that a bracket inside either closes nothing.
inline std::size_t closing_bracket(std::string_view t, std::size_t open) {
  int depth = 0;
  for (std::size_t i = open; i < t.size(); ++i) {
    switch (t[i]) {
      case '\\':
        ++i;
        break;
      case '{':
        if (auto j = t.find('}', i + 1); j != std::string_view::npos) i = j;
        break;
      case '[':
        ++depth;
        break;
      case ']':
        if (--depth == 0) return i;
        break;
      default:
        break;
    }
  }
  return std::string_view::npos;
}

inline bool escapable(char c) { return c == '[' || c == ']' || c == '{' || c == '}' || c == '\\'; }

// Appends the expansion of t to out; missing becomes true when a key of this level (not of a
// nested part) is empty.
template <class Lookup>
void expand_into(std::string_view t, const Lookup &lookup, std::string &out, bool &missing) {
  std::size_t i = 0;
  while (i < t.size()) {
    const char c = t[i];
    if (c == '\\' && i + 1 < t.size() && escapable(t[i + 1])) {
      out += t[i + 1];
      i += 2;
      continue;
    }
    if (c == '{') {
      if (auto j = t.find('}', i + 1); j != std::string_view::npos) {
        const auto &value = lookup(t.substr(i + 1, j - i - 1));
        const std::string_view v{value};
        if (v.empty()) missing = true;
        out += v;
        i = j + 1;
        continue;
      }
    }
    if (c == '[') {
      if (auto j = closing_bracket(t, i); j != std::string_view::npos) {
        std::string part;
        bool part_missing = false;
        expand_into(t.substr(i + 1, j - i - 1), lookup, part, part_missing);
        if (!part_missing) out += part;
        i = j + 1;
        continue;
      }
    }
    out += c;  // also an unclosed '{' or '[' and a stray ']': written as they are
    ++i;
  }
}

}  // namespace detail

// Expands one template: {key} takes the value from lookup (a string or string view, empty when
// unknown), a bracketed part disappears when any key in it is empty (a nested part that
// disappears does not take its enclosing part along), \[ \] \{ \} \\ write the character itself.
// An unclosed '[' or '{' and a stray ']' are written as they are.
template <class Lookup>
std::string expand(std::string_view tmpl, const Lookup &lookup) {
  std::string out;
  bool missing = false;
  detail::expand_into(tmpl, lookup, out, missing);
  return out;
}

// expand over the item's keys (kItemKeys) and {station}; each value is cleaned up first, so a
// value of white space alone counts as empty. The result is not cleaned up.
std::string expand_item(std::string_view tmpl, const Item &item, std::string_view station);

// Control characters removed, white space collapsed and trimmed.
std::string clean(std::string_view utf8);

class TextRoad {
 public:
  // Creates and warms up the transliterator; throws std::runtime_error when ICU cannot.
  explicit TextRoad(const Config &config);
  ~TextRoad();
  TextRoad(const TextRoad &) = delete;
  TextRoad &operator=(const TextRoad &) = delete;

  // Templates and clean-up: the item's templates over its keys and {station}, or the fallback's
  // over {station} alone. A comment text whose short description comes out empty gets
  // "Comment" as one (the library takes no comment without it). The UFID group, when an owner is
  // configured and the item has an isrc or else an id: the identifier cut to 64 bytes, the owner
  // (Latin-1) to what the identifier leaves of 192 bytes.
  Rendered render(const Item &item) const;
  Rendered render_fallback() const;

  // What Latin-1 lacks transliterated, what is still outside it removed (then cleaned up).
  std::string to_latin1_text(std::string_view utf8) const;

  // For one encoding: transliterated for latin1 (automatic is Latin-1 when every character is
  // within it, UTF-16 otherwise), then cut to the limits (characters of the encoded text) and to
  // one tag of 1024 bytes as the library measures it. A field that is cut loses its bracketed
  // suffixes and "feat. X" first, then ends at a word boundary, else at a character, with "...".
  Fitted fit(const Rendered &message, Encoding encoding) const;

  // Clears the handle and puts a fitted message into it (Latin-1 bytes for encoding 0, UTF-8
  // otherwise), with the groups switched on that have content, and validates it. Returns false
  // with the reason in why (may be null): the library's report, or text outside Latin-1 for
  // encoding 0.
  static bool load(ZEL_MARLO_PSD_MSG_t *handle, const Fitted &fitted, const Rendered &message,
                   std::string *why);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace marlod
