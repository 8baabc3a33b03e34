// SPDX-License-Identifier: GPL-2.0-or-later
// Reading the bridge's TOML file. Everything is checked here, before anything is bound or
// sent: a typo in a key, a wrong type or a value out of range stops the daemon with the place
// in the file, rather than leaving it running with a default the engineer did not mean.
#include "config.hpp"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <span>
#include <sstream>
#include <string_view>
#include <utility>

#include "item.hpp"

namespace marlod {

namespace {

using namespace std::string_view_literals;

// A value of a timer beyond a day is surely a mistake, and keeps the loop's arithmetic small.
constexpr double kMaxSeconds = 86400;
// One tag holds 1024 bytes, so a longer field could never be sent whole anyway.
constexpr int64_t kMaxLimit = 1024;
// The owner identifier and the identifier share 192 bytes in the UFID frame, and the
// identifier may take 64: a longer owner would be cut.
constexpr std::size_t kMaxOwner = 128;

std::string_view type_name(const toml::node &node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::string:
      return "a string";
    case toml::node_type::integer:
      return "an integer";
    case toml::node_type::floating_point:
      return "a floating-point number";
    case toml::node_type::boolean:
      return "a boolean";
    case toml::node_type::date:
      return "a date";
    case toml::node_type::time:
      return "a time";
    case toml::node_type::date_time:
      return "a date-time";
    default:
      return "nothing";
  }
}

std::string q(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string join(std::span<const std::string_view> names, bool quote) {
  std::string out;
  for (auto name : names) {
    if (!out.empty()) out += ", ";
    out += quote ? q(name) : std::string(name);
  }
  return out;
}

bool is_host_name(std::string_view s) {
  if (s.empty() || s.size() > 253) return false;
  std::size_t label = 0;
  for (char c : s) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok || ++label > 63) return false;
  }
  return true;
}

bool is_ipv4(std::string_view s) {
  in_addr a{};
  return inet_pton(AF_INET, std::string(s).c_str(), &a) == 1;
}
bool is_ipv6(std::string_view s) {
  in6_addr a{};
  return inet_pton(AF_INET6, std::string(s).c_str(), &a) == 1;
}

// Empty when the text is a usable template, else what is wrong with it. Placeholders are
// {key} with a key from `keys`; a bracketed part is optional (no nesting); a backslash
// writes the next bracket, brace or backslash as it is.
std::string template_problem(std::string_view t, const std::set<std::string_view> &keys,
                             bool need_key) {
  std::size_t chars = 0, open_bracket = 0, open_brace = 0;
  bool in_bracket = false, in_brace = false, any_key = false;
  std::string name;
  auto at = [](std::size_t n) { return " at character " + std::to_string(n); };
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
    if (in_brace) {
      if (c == '}') {
        if (name.empty()) return "empty {}" + at(open_brace);
        if (!keys.contains(name)) return "unknown key {" + name + "}" + at(open_brace);
        in_brace = false;
        any_key = true;
      } else if (c == '{' || c == '[' || c == ']' || c == '\\') {
        return "'{'" + at(open_brace) + " is not closed";
      } else {
        name += c;
      }
      continue;
    }
    switch (c) {
      case '\\':
        if (i + 1 == t.size()) return "a lone backslash at the end";
        if (std::string_view("[]{}\\").find(t[i + 1]) == std::string_view::npos)
          return "'\\'" + at(chars) + " escapes only [ ] { } and \\";
        ++i, ++chars;
        break;
      case '{':
        in_brace = true, open_brace = chars;
        name.clear();
        break;
      case '}':
        return "'}'" + at(chars) + " without '{'";
      case '[':
        if (in_bracket) return "'['" + at(chars) + " inside an optional part (they do not nest)";
        in_bracket = true, open_bracket = chars;
        break;
      case ']':
        if (!in_bracket) return "']'" + at(chars) + " without '['";
        in_bracket = false;
        break;
      default:
        break;
    }
  }
  if (in_brace) return "'{'" + at(open_brace) + " is not closed";
  if (in_bracket) return "'['" + at(open_bracket) + " is not closed";
  if (need_key && !any_key) return "no {key} in it";
  return {};
}

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void fail(const toml::source_position &pos, std::string_view what) const {
    std::ostringstream out;
    out << path_ << ':' << std::max<unsigned>(pos.line, 1) << ':'
        << std::max<unsigned>(pos.column, 1) << ": " << what;
    throw ConfigError(out.str());
  }
  [[noreturn]] void fail(const toml::node &node, std::string_view what) const {
    fail(node.source().begin, what);
  }

  // Every key of the table must be one of `known`: anything else is a typo.
  void known_keys(const toml::table &table, std::string_view name,
                  std::initializer_list<std::string_view> known) const {
    known_keys(table, name, std::span(known.begin(), known.size()));
  }
  void known_keys(const toml::table &table, std::string_view name,
                  std::span<const std::string_view> known) const {
    for (auto &&[key, value] : table) {
      if (std::find(known.begin(), known.end(), key.str()) != known.end()) continue;
      std::string where = name.empty() ? "at the top level" : "in [" + std::string(name) + "]";
      fail(key.source().begin, "unknown key \"" + std::string(key.str()) + "\" " + where +
                                   " (known: " + join(known, false) + ")");
    }
  }

  const toml::table &table(const toml::node &node, std::string_view name) const {
    if (auto *t = node.as_table()) return *t;
    fail(node, std::string(name) + " must be a table ([" + std::string(name) + "]), not " +
                   std::string(type_name(node)));
  }

  std::string string(const toml::node &node, std::string_view name) const {
    if (auto *s = node.as_string()) return s->get();
    fail(node, std::string(name) + " must be a string, not " + std::string(type_name(node)));
  }

  bool boolean(const toml::node &node, std::string_view name) const {
    if (auto *b = node.as_boolean()) return b->get();
    fail(node, std::string(name) + " must be true or false, not " + std::string(type_name(node)));
  }

  int64_t integer(const toml::node &node, std::string_view name, int64_t lo, int64_t hi) const {
    auto range = " from " + std::to_string(lo) + " to " + std::to_string(hi);
    auto *i = node.as_integer();
    if (!i)
      fail(node, std::string(name) + " must be an integer" + range + ", not " +
                     std::string(type_name(node)));
    if (i->get() < lo || i->get() > hi)
      fail(node, std::string(name) + " must be" + range + ", not " + std::to_string(i->get()));
    return i->get();
  }

  uint16_t port(const toml::node &node, std::string_view name) const {
    return static_cast<uint16_t>(integer(node, name, 1, 65535));
  }

  // Seconds, integer or fractional, at least lo (above it when !lo_ok), at most a day.
  double seconds(const toml::node &node, std::string_view name, double lo, bool lo_ok) const {
    double v = 0;
    if (auto *i = node.as_integer())
      v = static_cast<double>(i->get());
    else if (auto *f = node.as_floating_point())
      v = f->get();
    else
      fail(node,
           std::string(name) + " must be a number of seconds, not " + std::string(type_name(node)));
    std::ostringstream text;
    text << v;
    if (!std::isfinite(v) || v > kMaxSeconds)
      fail(node, std::string(name) + " must be at most 86400 seconds, not " + text.str());
    if (v < lo || (!lo_ok && v == lo)) {
      std::ostringstream bound;
      bound << lo;
      fail(node, std::string(name) + " must be " + (lo_ok ? "at least " : "more than ") +
                     bound.str() + (lo == 1 ? " second" : " seconds") + ", not " + text.str());
    }
    return v;
  }

  template <class E>
  E choice(const toml::node &node, std::string_view name,
           std::initializer_list<std::pair<std::string_view, E>> values) const {
    std::string s = string(node, name);
    std::string names;
    for (auto &[text, value] : values) {
      if (s == text) return value;
      names += (names.empty() ? "" : ", ") + q(text);
    }
    fail(node, std::string(name) + " must be one of " + names + ", not " + q(s));
  }

  std::string templ(const toml::node &node, std::string_view name,
                    const std::set<std::string_view> &keys, bool need_key = false) const {
    std::string s = string(node, name);
    if (auto problem = template_problem(s, keys, need_key); !problem.empty())
      fail(node, std::string(name) + ": " + problem);
    return s;
  }

  // A host to connect to: a name or an address (IPv6 bare or in brackets), without a port.
  std::string host(const toml::node &node, std::string_view name) const {
    std::string s = string(node, name);
    if (s.empty()) fail(node, std::string(name) + " must not be empty");
    if (s.size() > 2 && s.front() == '[' && s.back() == ']' && is_ipv6(s.substr(1, s.size() - 2)))
      return s.substr(1, s.size() - 2);
    if (is_ipv4(s) || is_ipv6(s) || is_host_name(s)) return s;
    if (s.find(':') != std::string::npos && s.find(':') == s.rfind(':'))
      fail(node, std::string(name) + " takes no port (give it as port = ...): " + q(s));
    fail(node, std::string(name) + " is neither a host name nor an IP address: " + q(s));
  }

  // An address to listen on, written back as "ADDRESS:PORT" ("[ADDRESS]:PORT" for IPv6);
  // a port alone ("5000" or ":5000") listens on 127.0.0.1. Empty: off.
  std::string listen(const toml::node &node, std::string_view name) const {
    std::string s = string(node, name);
    if (s.empty()) return s;
    auto bad = [&](std::string_view why) -> void {
      fail(node, std::string(name) + ": " + q(s) + " " + std::string(why) +
                     " (ADDRESS:PORT, [IPv6]:PORT or a port alone for 127.0.0.1)");
    };
    std::string address, port_text;
    if (s.front() == '[') {
      auto close = s.find(']');
      if (close == std::string::npos) bad("has no ']'");
      address = s.substr(1, close - 1);
      if (!is_ipv6(address)) bad("has no IPv6 address in brackets");
      if (close + 1 >= s.size() || s[close + 1] != ':') bad("has no port");
      port_text = s.substr(close + 2);
      address = "[" + address + "]";
    } else if (auto colon = s.rfind(':'); colon == std::string::npos) {
      port_text = s;
    } else {
      address = s.substr(0, colon);
      port_text = s.substr(colon + 1);
      if (address.find(':') != std::string::npos) bad("needs brackets around its IPv6 address");
      if (!address.empty() && !is_ipv4(address) && !is_host_name(address))
        bad("is neither a host name nor an IP address");
    }
    bool digits = !port_text.empty() && port_text.size() <= 5 &&
                  std::all_of(port_text.begin(), port_text.end(),
                              [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) bad(port_text.empty() ? "has no port" : "has no port number");
    long port = std::stol(port_text);
    if (port < 1 || port > 65535) bad("has a port outside 1 to 65535");
    if (address.empty()) address = "127.0.0.1";
    return address + ":" + std::to_string(port);
  }

 private:
  std::string path_;
};

const std::set<std::string_view> &item_keys() {
  static const std::set<std::string_view> keys(std::begin(kItemKeys), std::end(kItemKeys));
  return keys;
}
const std::set<std::string_view> &template_keys() {
  static const std::set<std::string_view> keys = [] {
    auto k = item_keys();
    k.insert("station");
    return k;
  }();
  return keys;
}
// The fallback is no item: only the station's name is known to it.
const std::set<std::string_view> kFallbackKeys{"station"};

constexpr std::array<std::string_view, 6> kSixNames = {"title", "artist",        "album",
                                                       "genre", "comment_title", "comment"};

template <class T>
T &field(SixFields<T> &six, std::string_view name) {
  if (name == "title") return six.title;
  if (name == "artist") return six.artist;
  if (name == "album") return six.album;
  if (name == "genre") return six.genre;
  if (name == "comment_title") return six.comment_title;
  return six.comment;
}

void read_station(const Reader &r, const toml::table &root, Config &c) {
  auto *node = root.get("station");
  if (!node) r.fail(root.source().begin, "[station] is missing: it gives the station's name");
  const auto &t = r.table(*node, "station");
  r.known_keys(t, "station", {"name"});
  auto *name = t.get("name");
  if (!name) r.fail(t.source().begin, "station.name is missing");
  c.station = r.string(*name, "station.name");
  if (c.station.find_first_not_of(" \t") == std::string::npos)
    r.fail(*name, "station.name must not be empty");
}

void read_exciters(const Reader &r, const toml::table &root, Config &c) {
  auto *node = root.get("exciter");
  if (!node) r.fail(root.source().begin, "no [[exciter]]: at least one is needed");
  auto *list = node->as_array();
  if (list && list->empty()) r.fail(*node, "no [[exciter]]: at least one is needed");
  if (!list || !list->is_array_of_tables())
    r.fail(*node, "exciter must be an array of tables: write each one as [[exciter]]");
  for (auto &element : *list) {
    const auto &t = *element.as_table();
    r.known_keys(t, "[exciter]", {"host", "port", "packet", "encoding", "delay_ms"});
    ExciterConfig e;
    auto *host = t.get("host");
    if (!host) r.fail(t.source().begin, "exciter.host is missing");
    e.host = r.host(*host, "exciter.host");
    if (auto *n = t.get("port")) e.port = r.port(*n, "exciter.port");
    if (auto *n = t.get("packet"))
      e.packet = r.choice<PacketKind>(
          *n, "exciter.packet", {{"two-layer", PacketKind::two_layer}, {"cl", PacketKind::cl}});
    if (auto *n = t.get("encoding"))
      e.encoding = r.choice<Encoding>(*n, "exciter.encoding",
                                      {{"latin1", Encoding::latin1},
                                       {"utf16", Encoding::utf16},
                                       {"utf8", Encoding::utf8},
                                       {"auto", Encoding::automatic}});
    if (auto *n = t.get("delay_ms")) e.delay_ms = int(r.integer(*n, "exciter.delay_ms", 0, 60000));
    // The same exciter twice gets every message twice: a copy left behind.
    for (const auto &other : c.exciters) {
      auto same_host = std::equal(other.host.begin(), other.host.end(), e.host.begin(),
                                  e.host.end(), [](char a, char b) {
                                    return std::tolower(static_cast<unsigned char>(a)) ==
                                           std::tolower(static_cast<unsigned char>(b));
                                  });
      if (same_host && other.port == e.port)
        r.fail(t.source().begin,
               "exciter " + e.host + " port " + std::to_string(e.port) + " is listed twice");
    }
    c.exciters.push_back(std::move(e));
  }
}

void read_input(const Reader &r, const toml::table &root, Config &c) {
  auto *node = root.get("input");
  if (!node) return;
  const auto &input = r.table(*node, "input");
  r.known_keys(input, "input", {"json", "rivendell", "file"});

  if (auto *n = input.get("json")) {
    const auto &t = r.table(*n, "input.json");
    r.known_keys(t, "input.json", {"udp", "tcp", "stdin"});
    if (auto *v = t.get("udp")) c.json.udp = r.listen(*v, "input.json.udp");
    if (auto *v = t.get("tcp")) c.json.tcp = r.listen(*v, "input.json.tcp");
    if (auto *v = t.get("stdin")) c.json.stdin_lines = r.boolean(*v, "input.json.stdin");
  }

  if (auto *n = input.get("rivendell")) {
    const auto &t = r.table(*n, "input.rivendell");
    r.known_keys(t, "input.rivendell", {"host", "port", "machines", "onair_only"});
    c.rivendell.enabled = true;
    if (auto *v = t.get("host")) c.rivendell.host = r.host(*v, "input.rivendell.host");
    if (auto *v = t.get("port")) c.rivendell.port = r.port(*v, "input.rivendell.port");
    if (auto *v = t.get("onair_only"))
      c.rivendell.onair_only = r.boolean(*v, "input.rivendell.onair_only");
    if (auto *v = t.get("machines")) {
      auto *list = v->as_array();
      if (!list)
        r.fail(*v, "input.rivendell.machines must be a list of log machines, such as [1], not " +
                       std::string(type_name(*v)));
      if (list->empty()) r.fail(*v, "input.rivendell.machines must name at least one");
      c.rivendell.machines.clear();
      for (auto &m : *list) {
        // The main log is 1, the auxiliary logs 2 and 3, the virtual logs 101 to 120.
        int number = int(r.integer(m, "input.rivendell.machines: each", 1, 120));
        if (number > 3 && number < 101)
          r.fail(m, "input.rivendell.machines: " + std::to_string(number) +
                        " is no log machine (1 to 3, or 101 to 120 for virtual logs)");
        if (std::find(c.rivendell.machines.begin(), c.rivendell.machines.end(), number) !=
            c.rivendell.machines.end())
          r.fail(m, "input.rivendell.machines: " + std::to_string(number) + " is listed twice");
        c.rivendell.machines.push_back(number);
      }
    }
  }

  if (auto *n = input.get("file")) {
    const auto &t = r.table(*n, "input.file");
    r.known_keys(t, "input.file", {"path", "format", "pattern"});
    auto *path = t.get("path");
    // The table is there to switch the input on: without a path it would do nothing.
    if (!path) r.fail(t.source().begin, "input.file.path is missing");
    c.file.path = r.string(*path, "input.file.path");
    if (c.file.path.empty()) r.fail(*path, "input.file.path must not be empty");
    if (c.file.path.back() == '/') r.fail(*path, "input.file.path names a directory, not a file");
    if (auto *v = t.get("format"))
      c.file.format = r.choice<FileFormat>(
          *v, "input.file.format", {{"json", FileFormat::json}, {"text", FileFormat::text}});
    if (auto *v = t.get("pattern"))
      c.file.pattern = r.templ(*v, "input.file.pattern", item_keys(), true);
  }
}

void read_timing(const Reader &r, const toml::table &root, Config &c) {
  auto *node = root.get("timing");
  if (!node) return;
  const auto &t = r.table(*node, "timing");
  r.known_keys(t, "timing", {"refresh", "grace", "max_age", "silence", "min_duration"});
  if (auto *v = t.get("refresh")) c.timing.refresh = r.seconds(*v, "timing.refresh", 0.1, true);
  if (auto *v = t.get("grace")) c.timing.grace = r.seconds(*v, "timing.grace", 0, true);
  if (auto *v = t.get("max_age")) c.timing.max_age = r.seconds(*v, "timing.max_age", 0, false);
  if (auto *v = t.get("silence")) c.timing.silence = r.seconds(*v, "timing.silence", 0, true);
  if (auto *v = t.get("min_duration"))
    c.timing.min_duration = r.seconds(*v, "timing.min_duration", 0, true);
}

void read_templates(const Reader &r, const toml::table &root, Config &c) {
  if (auto *node = root.get("template")) {
    const auto &t = r.table(*node, "template");
    r.known_keys(t, "template", kSixNames);
    for (auto name : kSixNames)
      if (auto *v = t.get(name))
        field(c.templ, name) = r.templ(*v, "template." + std::string(name), template_keys());
  }
  if (auto *node = root.get("fallback")) {
    const auto &t = r.table(*node, "fallback");
    std::initializer_list<std::string_view> known = {
        "title", "artist", "album", "genre", "comment_title", "comment", "flush_first"};
    r.known_keys(t, "fallback", known);
    // Fields given replace the whole default; flush_first alone keeps "{station}".
    if (std::any_of(kSixNames.begin(), kSixNames.end(),
                    [&](std::string_view n) { return t.contains(n); }))
      c.fallback = Templates{};
    for (auto name : kSixNames)
      if (auto *v = t.get(name))
        field(c.fallback, name) = r.templ(*v, "fallback." + std::string(name), kFallbackKeys);
    if (auto *v = t.get("flush_first")) c.flush_first = r.boolean(*v, "fallback.flush_first");
  }
  if (auto *node = root.get("limits")) {
    const auto &t = r.table(*node, "limits");
    r.known_keys(t, "limits", kSixNames);
    for (auto name : kSixNames)
      if (auto *v = t.get(name))
        field(c.limits, name) =
            std::size_t(r.integer(*v, "limits." + std::string(name), 4, kMaxLimit));
  }
}

void read_rest(const Reader &r, const toml::table &root, Config &c) {
  if (auto *node = root.get("filter")) {
    const auto &t = r.table(*node, "filter");
    r.known_keys(t, "filter", {"skip_groups"});
    if (auto *v = t.get("skip_groups")) {
      auto *list = v->as_array();
      if (!list)
        r.fail(*v, "filter.skip_groups must be a list of group names, not " +
                       std::string(type_name(*v)));
      for (auto &g : *list) {
        auto name = r.string(g, "filter.skip_groups: each");
        if (name.empty()) r.fail(g, "filter.skip_groups: a group name must not be empty");
        c.skip_groups.push_back(std::move(name));
      }
    }
  }
  if (auto *node = root.get("ufid")) {
    const auto &t = r.table(*node, "ufid");
    r.known_keys(t, "ufid", {"owner"});
    if (auto *v = t.get("owner")) {
      c.ufid_owner = r.string(*v, "ufid.owner");
      // Stored as ISO-8859-1 in the tag: printable ASCII is the same everywhere.
      if (!std::all_of(c.ufid_owner.begin(), c.ufid_owner.end(),
                       [](char ch) { return ch >= 0x20 && ch < 0x7f; }))
        r.fail(*v, "ufid.owner must be printable ASCII (such as a URL or a mail address)");
      if (c.ufid_owner.size() > kMaxOwner)
        r.fail(*v, "ufid.owner must be at most " + std::to_string(kMaxOwner) + " characters");
    }
  }
  if (auto *node = root.get("state")) {
    const auto &t = r.table(*node, "state");
    r.known_keys(t, "state", {"path"});
    if (auto *v = t.get("path")) {
      c.state_path = r.string(*v, "state.path");
      if (!c.state_path.empty() && c.state_path.back() == '/')
        r.fail(*v, "state.path names a directory, not a file");
    }
  }
  if (auto *node = root.get("http")) {
    const auto &t = r.table(*node, "http");
    r.known_keys(t, "http", {"listen", "secret"});
    if (auto *v = t.get("listen")) {
      c.http.listen = r.listen(*v, "http.listen");
      if (!c.http.listen.empty() && c.http.listen == c.json.tcp)
        r.fail(*v, "http.listen is the address of input.json.tcp already: " + c.http.listen);
    }
    if (auto *v = t.get("secret")) {
      c.http.secret = r.string(*v, "http.secret");
      // It travels in a header or a query parameter: nothing that would need quoting.
      if (!std::all_of(c.http.secret.begin(), c.http.secret.end(),
                       [](char ch) { return ch > 0x20 && ch < 0x7f; }))
        r.fail(*v, "http.secret must be printable ASCII without spaces");
    }
  }
}

}  // namespace

HostPort split_listen(const std::string &address) {
  auto colon = address.rfind(':');
  if (colon == std::string::npos) return {};
  HostPort out{address.substr(0, colon),
               static_cast<uint16_t>(std::stoul(address.substr(colon + 1)))};
  if (out.host.size() >= 2 && out.host.front() == '[')
    out.host = out.host.substr(1, out.host.size() - 2);
  return out;
}

Config load_config(const std::string &path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) throw ConfigError(path + ": is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));

  Reader r(path);
  toml::table root;
  try {
    root = toml::parse(text.str(), std::string_view(path));
  } catch (const toml::parse_error &e) {
    r.fail(e.source().begin, e.description());
  }

  r.known_keys(root, "",
               {"station", "exciter", "input", "timing", "template", "fallback", "limits", "filter",
                "ufid", "state", "http"});
  Config c;
  c.path = path;
  read_station(r, root, c);
  read_exciters(r, root, c);
  read_input(r, root, c);
  read_timing(r, root, c);
  read_templates(r, root, c);
  read_rest(r, root, c);
  return c;
}

}  // namespace marlod
