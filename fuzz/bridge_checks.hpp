// SPDX-License-Identifier: GPL-2.0-or-later
// What every answer of the bridge's parsers keeps to, whatever the bytes: checked by the bridge's
// fuzz targets, with a UTF-8 check of their own (decoding code points, not the parser's table).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "parse.hpp"

// The checks are not the code under test: no coverage feedback from them, so that the fuzzer
// steers by the parsers alone (and runs faster).
#if defined(__clang__)
#define ZEL_FUZZ_HARNESS __attribute__((no_sanitize("coverage")))
#else
#define ZEL_FUZZ_HARNESS
#endif

namespace zel::fuzz {

[[noreturn]] inline void bridge_fail(const char *what, std::string_view input) {
  std::fprintf(stderr, "%s (input of %zu bytes)\n", what, input.size());
  std::abort();
}

ZEL_FUZZ_HARNESS inline bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    unsigned long cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The reason of an answer: one short printable line of valid UTF-8.
ZEL_FUZZ_HARNESS inline void check_why(const marlod::Parsed &p, std::string_view input) {
  if (p.status == marlod::Parsed::ok) {
    if (!p.why.empty()) bridge_fail("a reason with ok", input);
    return;
  }
  if (p.why.empty() || p.why.size() > 210) bridge_fail("no reason, or too long", input);
  for (char c : p.why)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) bridge_fail("control in reason", input);
  if (!valid_utf8(p.why)) bridge_fail("reason not UTF-8", input);
}

// The item of an ok answer: valid text without NUL, a duration in range, an end without text.
ZEL_FUZZ_HARNESS inline void check_item(const marlod::Item &item, std::string_view input) {
  for (const auto &[key, value] : item.text) {
    bool known = false;
    for (std::string_view k : marlod::kItemKeys) known = known || k == key;
    if (!known || value.empty() || value.find('\0') != value.npos || !valid_utf8(value))
      bridge_fail("bad item text", input);
  }
  if (item.start.find('\0') != item.start.npos || !valid_utf8(item.start))
    bridge_fail("bad start", input);
  if (item.duration && !(*item.duration > 0 && *item.duration <= 86400))
    bridge_fail("duration out of range", input);
  if (item.clear && (!item.text.empty() || item.duration)) bridge_fail("an end with text", input);
}

// An item taken from any input reads back the same when written as a JSON item.
ZEL_FUZZ_HARNESS inline void check_json_round_trip(const marlod::Item &item,
                                                   std::string_view input) {
  nlohmann::json j = nlohmann::json::object();
  if (item.clear) j["clear"] = true;
  for (const auto &[key, value] : item.text) j[key] = value;
  if (item.duration) j["duration"] = *item.duration;
  if (j.empty()) return;  // an item with nothing in it: ignored as JSON, by design
  const marlod::Parsed again = marlod::parse_json_item(j.dump());
  if (again.status != marlod::Parsed::ok || again.item.clear != item.clear ||
      again.item.text != item.text || again.item.duration != item.duration)
    bridge_fail("the item does not read back the same as JSON", input);
}

ZEL_FUZZ_HARNESS inline void check_parsed(const marlod::Parsed &p, std::string_view input) {
  if (p.status != marlod::Parsed::ok && p.status != marlod::Parsed::invalid &&
      p.status != marlod::Parsed::ignored)
    bridge_fail("bad status", input);
  if (p.repaired == valid_utf8(input)) bridge_fail("repaired does not match the input", input);
  check_why(p, input);
  if (p.status == marlod::Parsed::ok) {
    check_item(p.item, input);
    check_json_round_trip(p.item, input);
  }
}

}  // namespace zel::fuzz
