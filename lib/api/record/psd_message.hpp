// SPDX-License-Identifier: GPL-2.0-or-later
// The content of a PSD message: four groups of values, each with its switch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel {

// A text value: absent, or bytes without a terminating zero. The setters never store an empty
// text; decoding may (a present text of zero characters counts as not set in validation).
using Text = std::optional<std::string>;

constexpr uint32_t kMaxUfidIdentifier = 64;  // identifier bytes
constexpr size_t kMaxUfidOwnerId = 191;      // owner id characters
constexpr size_t kDateLength = 8;            // YYYYMMDD: the bytes a commercial frame carries

struct PsdContent {
  // A group is encoded and printed (enabled-only) when its switch holds exactly 1.
  uint8_t coreEnabled = 1;
  Text title;   // TIT2
  Text artist;  // TPE1
  Text album;   // TALB
  Text genre;   // TCON

  uint8_t commentEnabled = 0;
  Text commentTitle;  // COMM short description
  Text commentDesc;   // COMM text

  uint8_t commercialEnabled = 0;
  Text price;        // COMR price, e.g. "USD10.0"
  Text validUntil;   // COMR valid until, YYYYMMDD
  Text contactUrl;   // COMR contact URL
  Text recvAs;       // COMR received as, a decimal code 0 to 8
  Text sellerName;   // COMR name of seller
  Text productDesc;  // COMR description

  uint8_t ufidEnabled = 0;
  Text ufidOwnerId;                     // UFID owner identifier, fewer than 192 characters
  std::vector<uint8_t> ufidIdentifier;  // UFID identifier, 0 to 64 bytes; empty = absent
};

// True when the text is present and has at least one character.
inline bool isSet(const Text &t) { return t.has_value() && !t->empty(); }

// The switches of source, without its values.
inline PsdContent switchesOf(const PsdContent &source) {
  PsdContent c;
  c.coreEnabled = source.coreEnabled;
  c.commentEnabled = source.commentEnabled;
  c.commercialEnabled = source.commercialEnabled;
  c.ufidEnabled = source.ufidEnabled;
  return c;
}

}  // namespace zel
