// SPDX-License-Identifier: GPL-2.0-or-later
// One input event of the bridge, whatever input it came from: the item the playout announces,
// or the end of the item on air.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace marlod {

// The text keys an input may carry; templates read them by these names (and {station}).
inline constexpr std::string_view kItemKeys[] = {
    "title", "artist", "album", "genre", "comment_title", "comment", "id", "isrc", "group"};

struct Item {
  bool clear = false;                                    // "the item has ended"
  std::map<std::string, std::string, std::less<>> text;  // keys of kItemKeys, valid UTF-8
  std::optional<double> duration;                        // seconds, 0 < d <= 86400
  std::string start;                                     // the feed's startDateTime, if any

  std::string_view get(std::string_view key) const {
    auto it = text.find(key);
    return it == text.end() ? std::string_view{} : std::string_view{it->second};
  }
};

}  // namespace marlod
