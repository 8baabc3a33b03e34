// SPDX-License-Identifier: GPL-2.0-or-later
// Input parsing of the bridge. Outside bytes reach everything here: no exception leaves, every
// text handed on is valid UTF-8 without NUL, and every log reason is one short line.
#include "parse.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace marlod {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxDepth = 32;  // the feed needs 3; anything deeper is an attack
constexpr std::size_t kMaxWhy = 200;   // bytes of a log reason
constexpr std::size_t kMaxQuoted = 40;
constexpr double kMaxSeconds = 86400;
constexpr std::string_view kRange = "(0 < d <= 86400)";

// ---- UTF-8 -----------------------------------------------------------------------------------

// Length of the well-formed sequence at s[i], or 0 with *bad the length of its maximal
// ill-formed subpart (at least 1), after Unicode's table of well-formed byte sequences.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t *bad) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) {
      *bad = k;
      return 0;
    }
    const auto c = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (c < l || c > h) {
      *bad = k;
      return 0;
    }
  }
  return need;
}

// The text with every maximal ill-formed subpart replaced by U+FFFD; nothing when it is valid.
std::optional<std::string> repair_utf8(std::string_view s) {
  std::size_t i = 0, bad = 0;
  // Eight bytes at a time while they are ASCII, as most input is.
  for (std::uint64_t word; i + 8 <= s.size(); i += 8) {
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080u) break;
  }
  while (i < s.size()) {
    const std::size_t n = utf8_sequence(s, i, &bad);
    if (n == 0) break;
    i += n;
  }
  if (i == s.size()) return std::nullopt;
  std::string out(s.substr(0, i));
  out.reserve(s.size() + 16);
  while (i < s.size()) {
    const std::size_t n = utf8_sequence(s, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

// At most max bytes of valid UTF-8 text, never cut inside a sequence.
std::string_view cut_utf8(std::string_view s, std::size_t max) {
  if (s.size() <= max) return s;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

// One line of at most kMaxWhy bytes of valid UTF-8: line ends and other control characters
// become blanks. The parser's messages quote what it read, which may end inside a sequence.
std::string one_line(std::string_view s) {
  const std::optional<std::string> fixed = repair_utf8(s);
  const std::string_view text = fixed ? std::string_view(*fixed) : s;
  std::string out(cut_utf8(text, kMaxWhy));
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  if (out.size() < text.size()) out += "...";
  return out;
}

// A value for a log reason: short, in quotes, with its quotes and backslashes escaped (the
// reason then goes through one_line, which makes it valid UTF-8 on one line).
std::string shown(std::string_view s) {
  const std::string_view v = cut_utf8(s, kMaxQuoted);
  std::string out = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  if (v.size() < s.size()) out += "...";
  return out += '"';
}

std::string number_text(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

// ---- values ----------------------------------------------------------------------------------

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string without_nul(std::string_view s) {
  std::string out(s);
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  return out;
}

const char *type_of(const json &v) {
  switch (v.type()) {
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
      return "a number";
    case json::value_t::string:
      return "a string";
    case json::value_t::boolean:
      return "a boolean";
    case json::value_t::object:
      return "an object";
    case json::value_t::array:
      return "an array";
    default:
      return "null";
  }
}

// Seconds from the text of a number; an error for the log otherwise. Empty text: unknown.
std::string seconds_from_text(std::string_view name, std::string_view text,
                              std::optional<double> *out) {
  const std::string_view t = trim(text);
  out->reset();
  if (t.empty()) return {};
  double d = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ec == std::errc::result_out_of_range)
    return std::string(name) + ": " + shown(text) + " is out of range " + std::string(kRange);
  if (r.ec != std::errc{} || r.ptr != t.data() + t.size())
    return std::string(name) + ": " + shown(text) + " is not a number";
  if (!(d > 0 && d <= kMaxSeconds))  // NaN too ("nan" is read as a number)
    return std::string(name) + ": " + shown(text) + " is out of range " + std::string(kRange);
  *out = d;
  return {};
}

// duration of the JSON input: a number or a numeric string, null or "" for unknown.
std::string seconds_from_json(std::string_view name, const json &v, std::optional<double> *out) {
  out->reset();
  if (v.is_null()) return {};
  if (v.is_string()) return seconds_from_text(name, v.get_ref<const std::string &>(), out);
  if (!v.is_number())
    return std::string(name) + ": expected a number of seconds, got " + type_of(v);
  const double d = v.get<double>();
  if (!(d > 0 && d <= kMaxSeconds))
    return std::string(name) + ": " + number_text(d) + " is out of range " + std::string(kRange);
  *out = d;
  return {};
}

// A text value: a string (NUL removed), or for whole_number_ok a whole number as its decimal
// text; null is absent (*out stays empty).
std::string text_from_json(std::string_view name, const json &v, bool whole_number_ok,
                           std::optional<std::string> *out) {
  out->reset();
  if (v.is_null()) return {};
  if (v.is_string()) {
    *out = without_nul(v.get_ref<const std::string &>());
    return {};
  }
  if (whole_number_ok && v.is_number_unsigned()) {
    *out = std::to_string(v.get<std::uint64_t>());
    return {};
  }
  if (whole_number_ok && v.is_number_integer()) {
    *out = std::to_string(v.get<std::int64_t>());
    return {};
  }
  return std::string(name) +
         (whole_number_ok ? ": expected a string or a whole number, got "
                          : ": expected a string, got ") +
         type_of(v);
}

void store(Item &item, std::string_view key, std::string value) {
  if (!value.empty()) item.text.insert_or_assign(std::string(key), std::move(value));
}

// ---- JSON ------------------------------------------------------------------------------------

// Which members of an object a reader wants: depth is that of the object (1 for the top one),
// parent the key it sits under.
using Wanted = bool (*)(std::size_t depth, std::string_view parent, std::string_view key);

// Builds the document from the parser's events (nlohmann's SAX interface), keeping only the
// members the reader wants (the feed's documents are mostly fields nobody reads) and no element
// of an array (a reader only needs to know it is one). The parser needs no call stack per level,
// this builder stops at the nesting limit at once, and errors come back as values, not thrown,
// which keeps malformed input cheap.
class DomBuilder final : public nlohmann::json_sax<json> {
 public:
  DomBuilder(json *root, Wanted wanted) : root_(root), wanted_(wanted) {}
  bool null() override { return put(nullptr); }
  bool boolean(bool v) override { return put(v); }
  bool number_integer(json::number_integer_t v) override { return put(v); }
  bool number_unsigned(json::number_unsigned_t v) override { return put(v); }
  bool number_float(json::number_float_t v, const std::string &) override { return put(v); }
  bool string(std::string &v) override { return put(std::move(v)); }
  bool binary(json::binary_t &) override { return false; }  // not in JSON text
  bool start_object(std::size_t) override { return open(json::object()); }
  bool key(std::string &k) override {
    if (skip_ == 0) {
      keep_ = wanted_(open_.size(), keys_.back(), k);
      key_ = std::move(k);
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string &, const json::exception &e) override {
    error = e.what();
    return false;
  }

  std::string error;      // the parser's message
  bool too_deep = false;  // stopped at the nesting limit

 private:
  // The value now arriving is kept: the top one, or a wanted member of a kept object.
  bool keeps() const {
    return skip_ == 0 && (open_.empty() || (open_.back()->is_object() && keep_));
  }
  // Where a kept value goes: the top, or the open object's last key (a repeated key: the last
  // one wins). An open container is always the last value of its parent, so the pointers kept
  // to open containers stay valid.
  json *place(json &&v) {
    if (open_.empty()) {
      *root_ = std::move(v);
      return root_;
    }
    json &slot = (*open_.back())[key_];
    slot = std::move(v);
    return &slot;
  }
  bool put(json &&v) {
    if (keeps()) place(std::move(v));
    return true;
  }
  bool open(json &&v) {
    if (++depth_ > kMaxDepth) {
      too_deep = true;
      return false;
    }
    if (!keeps()) {
      ++skip_;
      return true;
    }
    keys_.push_back(open_.empty() ? std::string() : key_);
    open_.push_back(place(std::move(v)));
    return true;
  }
  bool close() {
    --depth_;
    if (skip_ > 0) {
      --skip_;
    } else {
      open_.pop_back();
      keys_.pop_back();
    }
    return true;
  }

  json *root_;
  Wanted wanted_;
  std::vector<json *> open_;       // the kept containers still open
  std::vector<std::string> keys_;  // the key each of them sits under
  std::string key_;                // the last key of the innermost kept object
  bool keep_ = false;              // ... and whether its value is wanted
  std::size_t skip_ = 0;           // open containers not kept
  std::size_t depth_ = 0;          // open containers
};

// The bytes as valid UTF-8, parsed; false with the reason when they are not one JSON value.
bool parse_json(std::string_view bytes, Wanted wanted, Parsed &result, json *out) {
  std::optional<std::string> fixed = repair_utf8(bytes);
  result.repaired = fixed.has_value();
  const std::string_view text = fixed ? std::string_view(*fixed) : bytes;
  DomBuilder builder(out, wanted);
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception &e) {  // nothing is thrown but running out of memory
    builder.error = e.what();
  }
  if (ok) return true;
  if (builder.too_deep) {
    result.why = "malformed JSON: nested deeper than " + std::to_string(kMaxDepth) + " levels";
  } else {
    std::string_view what = builder.error;
    if (const auto end = what.find("] "); what.starts_with("[json.") && end != what.npos)
      what.remove_prefix(end + 2);
    result.why = one_line("malformed JSON: " + std::string(what));
  }
  return false;
}

bool item_member(std::size_t depth, std::string_view, std::string_view key) {
  return depth == 1 &&
         (key == "duration" || key == "clear" ||
          std::find(std::begin(kItemKeys), std::end(kItemKeys), key) != std::end(kItemKeys));
}

bool pad_member(std::size_t depth, std::string_view parent, std::string_view key) {
  static constexpr std::string_view kUpdate[] = {"machine", "onairFlag", "now"};
  static constexpr std::string_view kNow[] = {"title",      "artist",        "album",
                                              "isrc",       "groupName",     "songId",
                                              "cartNumber", "startDateTime", "length"};
  const auto in = [key](const auto &set) {
    return std::find(std::begin(set), std::end(set), key) != std::end(set);
  };
  return (depth == 1 && key == "padUpdate") ||
         (depth == 2 && parent == "padUpdate" && in(kUpdate)) ||
         (depth == 3 && parent == "now" && in(kNow));
}

bool blank_text(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// ---- text patterns ---------------------------------------------------------------------------

struct Pattern {
  std::vector<std::string> literals;  // one more than keys: before, between and after them
  std::vector<std::string> keys;
};

bool known_pattern_key(std::string_view key) {
  return key == "duration" ||
         std::find(std::begin(kItemKeys), std::end(kItemKeys), key) != std::end(kItemKeys);
}

std::string compile_pattern(std::string_view p, Pattern *out) {
  out->literals.assign(1, std::string());
  out->keys.clear();
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\') {
      out->literals.back() += i + 1 < p.size() ? p[++i] : '\\';
    } else if (c == '{') {
      const std::size_t end = p.find('}', i + 1);
      if (end == p.npos) return "pattern: a { without its }";
      const std::string key(p.substr(i + 1, end - i - 1));
      if (!known_pattern_key(key)) return "pattern: unknown key " + shown(key);
      if (std::find(out->keys.begin(), out->keys.end(), key) != out->keys.end())
        return "pattern: {" + key + "} appears twice";
      if (!out->keys.empty() && out->literals.back().empty())
        return "pattern: {" + out->keys.back() + "} and {" + key +
               "} need a literal text between them";
      out->keys.push_back(key);
      out->literals.emplace_back();
      i = end;
    } else {
      out->literals.back() += c;
    }
  }
  if (out->keys.empty()) return "pattern: no key such as {title}";
  return {};
}

// ---- PAD feed --------------------------------------------------------------------------------

std::string machines_text(const std::vector<int> &machines) {
  std::string s;
  for (int m : machines) s += (s.empty() ? "" : ", ") + std::to_string(m);
  return s.empty() ? "none" : s;
}

// The now record mapped onto an item; an error for the log otherwise.
std::string item_from_now(const json &now, Item *item) {
  std::optional<std::string> value;
  for (const auto &[field, key] :
       {std::pair{"title", "title"}, std::pair{"artist", "artist"}, std::pair{"album", "album"},
        std::pair{"isrc", "isrc"}, std::pair{"groupName", "group"}}) {
    if (const auto it = now.find(field); it != now.end()) {
      if (auto e = text_from_json(std::string("now.") + field, *it, false, &value); !e.empty())
        return e;
      if (value) store(*item, key, std::move(*value));
    }
  }
  for (const char *field : {"songId", "cartNumber"}) {  // the first that has one
    if (const auto it = now.find(field); it != now.end()) {
      if (auto e = text_from_json(std::string("now.") + field, *it, true, &value); !e.empty())
        return e;
      if (value && !value->empty() && !item->text.contains("id")) store(*item, "id", *value);
    }
  }
  if (const auto it = now.find("startDateTime"); it != now.end()) {
    if (auto e = text_from_json("now.startDateTime", *it, false, &value); !e.empty()) return e;
    if (value) item->start = std::move(*value);
  }
  if (const auto it = now.find("length"); it != now.end() && !it->is_null()) {
    if (!it->is_number())
      return "now.length: expected a number of milliseconds, got " + std::string(type_of(*it));
    const double ms = it->get<double>();
    if (!(ms >= 0 && ms <= kMaxSeconds * 1000))
      return "now.length: " + number_text(ms) + " is out of range (0 <= ms <= 86400000)";
    if (const double d = ms / 1000; d > 0) item->duration = d;  // not for the tiniest length
  }
  return {};
}

Parsed invalid(std::string why, bool repaired) {
  Parsed p;
  p.status = Parsed::invalid;
  p.why = one_line(why);
  p.repaired = repaired;
  return p;
}

}  // namespace

// ---- JSON items ------------------------------------------------------------------------------

Parsed parse_json_item(std::string_view bytes) {
  Parsed result;
  if (blank_text(bytes)) {
    result.status = Parsed::ignored;
    result.why = "empty input";
    return result;
  }
  json doc;
  if (!parse_json(bytes, item_member, result, &doc)) return result;
  if (!doc.is_object())
    return invalid(std::string("expected a JSON object, got ") + type_of(doc), result.repaired);

  Item &item = result.item;
  bool carried = false;  // an item key with a value
  for (std::string_view key : kItemKeys) {
    const auto it = doc.find(key);
    if (it == doc.end()) continue;
    std::optional<std::string> value;
    if (auto e = text_from_json(key, *it, key == "id", &value); !e.empty())
      return invalid(e, result.repaired);
    if (value) {
      carried = true;
      store(item, key, std::move(*value));
    }
  }
  if (const auto it = doc.find("duration"); it != doc.end()) {
    if (auto e = seconds_from_json("duration", *it, &item.duration); !e.empty())
      return invalid(e, result.repaired);
    carried = carried || !it->is_null();
  }
  bool clear = false, clear_false = false;
  if (const auto it = doc.find("clear"); it != doc.end()) {
    if (!it->is_boolean() && !it->is_null())
      return invalid(std::string("clear: expected true or false, got ") + type_of(*it),
                     result.repaired);
    clear = it->is_boolean() && it->get<bool>();
    clear_false = it->is_boolean() && !clear;
  }

  if (clear) {
    item = Item{};
    item.clear = true;
  } else if (!carried) {
    result.status = Parsed::ignored;
    result.why = clear_false ? "clear is false and no item key is given: nothing to do"
                             : "no item key (title, artist, album, duration, ...): nothing to do";
    result.item = Item{};
    return result;
  }
  result.status = Parsed::ok;
  return result;
}

// ---- text lines ------------------------------------------------------------------------------

std::string pattern_error(std::string_view pattern) {
  Pattern p;
  const std::string why = compile_pattern(pattern, &p);
  return why.empty() ? why : one_line(why);
}

Parsed parse_text_line(std::string_view line, std::string_view pattern) {
  Parsed result;
  Pattern p;
  if (auto e = compile_pattern(pattern, &p); !e.empty()) return invalid(e, false);

  if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::optional<std::string> fixed = repair_utf8(line);
  result.repaired = fixed.has_value();
  const std::string text = without_nul(fixed ? std::string_view(*fixed) : line);
  if (blank_text(text)) {
    result.status = Parsed::ignored;
    result.why = "empty line";
    return result;
  }

  const std::string &first = p.literals.front(), &last = p.literals.back();
  const auto mismatch = [&] {
    return invalid("the line " + shown(text) + " does not match the pattern " + shown(pattern),
                   result.repaired);
  };
  if (text.size() < first.size() + last.size() || !text.starts_with(first) || !text.ends_with(last))
    return mismatch();
  const std::string_view body =
      std::string_view(text).substr(first.size(), text.size() - first.size() - last.size());
  std::size_t pos = 0;
  for (std::size_t k = 0; k < p.keys.size(); ++k) {
    std::size_t end = body.size();
    if (k + 1 < p.keys.size()) {
      end = body.find(p.literals[k + 1], pos);
      if (end == body.npos) return mismatch();
    }
    const std::string_view value = trim(body.substr(pos, end - pos));
    if (p.keys[k] == "duration") {
      if (auto e = seconds_from_text("duration", value, &result.item.duration); !e.empty())
        return invalid(e, result.repaired);
    } else {
      store(result.item, p.keys[k], std::string(value));
    }
    pos = end + (k + 1 < p.keys.size() ? p.literals[k + 1].size() : 0);
  }
  result.status = Parsed::ok;
  return result;
}

// ---- PAD feed documents ----------------------------------------------------------------------

Parsed parse_pad_document(std::string_view document, const RivendellConfig &config) {
  Parsed result;
  json doc;
  if (!parse_json(document, pad_member, result, &doc)) return result;
  const bool repaired = result.repaired;
  const json::const_iterator pad = doc.is_object() ? doc.find("padUpdate") : doc.end();
  if (pad == doc.end() || !pad->is_object())
    return invalid("not a PAD update: no \"padUpdate\" object", repaired);

  const auto machine = pad->find("machine");
  if (machine == pad->end() || !machine->is_number_integer())
    return invalid(machine == pad->end()
                       ? std::string("padUpdate.machine: missing")
                       : std::string("padUpdate.machine: expected a log machine number, got ") +
                             type_of(*machine),
                   repaired);
  // Beyond int64 (unsigned in the parser) no configured machine can match; the log shows the
  // number as it came.
  const std::uint64_t max = INT64_MAX;
  const std::int64_t number =
      machine->is_number_unsigned()
          ? static_cast<std::int64_t>(std::min(machine->get<std::uint64_t>(), max))
          : machine->get<std::int64_t>();
  if (std::find(config.machines.begin(), config.machines.end(), number) == config.machines.end()) {
    result.status = Parsed::ignored;
    result.why = "log machine " + machine->dump() +
                 " is not followed (machines: " + machines_text(config.machines) + ")";
    return result;
  }

  const auto flag = pad->find("onairFlag");
  if (flag != pad->end() && !flag->is_boolean() && !flag->is_null())
    return invalid(
        std::string("padUpdate.onairFlag: expected true or false, got ") + type_of(*flag),
        repaired);
  const bool on_air = flag != pad->end() && flag->is_boolean() && flag->get<bool>();
  if (config.onair_only && !on_air) {
    result.status = Parsed::ignored;
    result.why = "log machine " + std::to_string(number) + " is off air";
    return result;
  }

  const auto now = pad->find("now");
  if (now == pad->end()) return invalid("padUpdate.now: missing", repaired);
  if (now->is_null()) {
    result.item.clear = true;
  } else if (!now->is_object()) {
    return invalid(std::string("padUpdate.now: expected an object or null, got ") + type_of(*now),
                   repaired);
  } else if (auto e = item_from_now(*now, &result.item); !e.empty()) {
    return invalid(e, repaired);
  }
  result.status = Parsed::ok;
  return result;
}

// ---- LineSplitter ----------------------------------------------------------------------------

bool LineSplitter::feed(std::string_view bytes) {
  if (overflow_) return false;
  while (!bytes.empty()) {
    const std::size_t lf = bytes.find('\n');
    const std::string_view part = bytes.substr(0, lf);
    // The limit counts the line without its CR LF: one byte more may be a CR that ends it.
    bool over = buffer_.size() + part.size() > limit_ + 1;
    if (!over) {
      buffer_.append(part);
      over = buffer_.size() - (buffer_.ends_with('\r') ? 1 : 0) > limit_;
    }
    if (over) {
      overflow_ = true;
      std::string().swap(buffer_);
      return false;
    }
    if (lf == bytes.npos) break;
    if (!buffer_.empty() && buffer_.back() == '\r') buffer_.pop_back();
    if (!buffer_.empty()) lines_.push_back(std::move(buffer_));
    buffer_.clear();
    bytes.remove_prefix(lf + 1);
  }
  return true;
}

std::optional<std::string> LineSplitter::next() {
  if (lines_.empty()) return std::nullopt;
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::string LineSplitter::rest() const {
  std::string_view r = buffer_;
  if (!r.empty() && r.back() == '\r') r.remove_suffix(1);
  return std::string(r);
}

// ---- PadFramer -------------------------------------------------------------------------------

bool PadFramer::blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

bool PadFramer::feed(std::string_view bytes) {
  if (overflow_) return false;
  while (!bytes.empty()) {
    const std::size_t lf = bytes.find('\n');
    const std::string_view part = bytes.substr(0, lf);
    // A document counts with its line ends; the empty line after it does not, but may not
    // grow without end either.
    bool over = line_.size() + part.size() > limit_;
    if (!over) {
      line_.append(part);
      line_blank_ = line_blank_ && blank(part);  // kept, not rescanned: bytes come one by one
      over = !line_blank_ && document_.size() + line_.size() + (lf != bytes.npos) > limit_;
    }
    if (over) {
      overflow_ = true;
      std::string().swap(line_);
      std::string().swap(document_);
      line_blank_ = true;
      return false;
    }
    if (lf == bytes.npos) break;
    bytes.remove_prefix(lf + 1);
    if (line_blank_) {
      if (!document_.empty()) documents_.push_back(std::move(document_));
      document_.clear();
    } else {
      document_ += line_;
      document_ += '\n';
    }
    line_.clear();
    line_blank_ = true;
  }
  return true;
}

std::optional<std::string> PadFramer::next() {
  if (documents_.empty()) return std::nullopt;
  std::string document = std::move(documents_.front());
  documents_.pop_front();
  return document;
}

}  // namespace marlod
