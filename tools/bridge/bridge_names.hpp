// SPDX-License-Identifier: GPL-2.0-or-later
// Names and small conversions the bridge's files share.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "config.hpp"
#include "text.hpp"

namespace marlod {

const char *encoding_name(Encoding e);
const char *id3_encoding_name(int id3);
const char *packet_name(PacketKind k);
int32_t vesk_type(PacketKind k);
// Latin-1 bytes as UTF-8 (every byte is its own code point).
std::string latin1_to_utf8(std::string_view bytes);
// A text the library handed out, as UTF-8, released.
std::string take_text(char *text, bool latin1);
nlohmann::json iso_or_null(uint64_t wall);
// A label value of the Prometheus text format.
std::string label(std::string_view value);
// 1, 0.5, 86400: seconds as people write them.
std::string seconds_text(double seconds);
// "Title" by "Artist", for log lines.
std::string describe(const Fields &f);

inline constexpr const char *kSkipReasons[] = {"invalid", "ignored", "empty", "short", "group"};

}  // namespace marlod
