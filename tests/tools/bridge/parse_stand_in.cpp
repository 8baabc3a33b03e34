// SPDX-License-Identifier: GPL-2.0-or-later
// The JSON item reader for the HTTP stand-in while the bridge's own reader is not in this tree
// yet; it reads the same keys and refuses the same wrong types, enough for the server's tests.
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "parse.hpp"

namespace marlod {

Parsed parse_json_item(std::string_view bytes) {
  Parsed p;
  nlohmann::json j = nlohmann::json::parse(bytes, nullptr, false);
  if (j.is_discarded()) return p.why = "malformed JSON", p;
  if (!j.is_object()) return p.why = "not a JSON object", p;
  for (auto key : kItemKeys) {
    auto it = j.find(std::string(key));
    if (it == j.end()) continue;
    if (!it->is_string()) return p.why = std::string(key) + " is not text", p;
    p.item.text[std::string(key)] = it->get<std::string>();
  }
  if (auto it = j.find("duration"); it != j.end()) {
    double d = NAN;
    if (it->is_number())
      d = it->get<double>();
    else if (it->is_string()) {
      const std::string s = it->get<std::string>();
      char *end = nullptr;
      d = std::strtod(s.c_str(), &end);
      if (s.empty() || *end) d = NAN;
    }
    if (!(d > 0 && d <= 86400))
      return p.why = "duration is not a number of seconds in (0, 86400]", p;
    p.item.duration = d;
  }
  if (auto it = j.find("clear"); it != j.end()) {
    if (!it->is_boolean()) return p.why = "clear is not true or false", p;
    p.item.clear = it->get<bool>();
  }
  p.status = Parsed::ok;
  return p;
}

}  // namespace marlod
