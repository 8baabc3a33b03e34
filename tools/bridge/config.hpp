// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's configuration, as read from its TOML file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace marlod {

// ID3 text encoding chosen per exciter.
enum class Encoding { latin1, utf16, utf8, automatic };
// VESK packet kind per exciter.
enum class PacketKind { two_layer, cl };

// The six text fields of a message, used for templates, the fallback and the limits.
template <class T>
struct SixFields {
  T title{}, artist{}, album{}, genre{}, comment_title{}, comment{};
  bool operator==(const SixFields &) const = default;
};
using Templates = SixFields<std::string>;
using Limits = SixFields<std::optional<std::size_t>>;  // characters per field

struct ExciterConfig {
  std::string host;
  uint16_t port = 11000;
  PacketKind packet = PacketKind::two_layer;
  Encoding encoding = Encoding::automatic;
  int delay_ms = 0;
  bool operator==(const ExciterConfig &) const = default;
};

struct JsonInputConfig {
  std::string udp;  // "ADDRESS:PORT", empty: off
  std::string tcp;  // "ADDRESS:PORT", empty: off
  bool stdin_lines = false;
  bool operator==(const JsonInputConfig &) const = default;
};

struct RivendellConfig {
  bool enabled = false;
  std::string host = "127.0.0.1";
  uint16_t port = 34289;
  std::vector<int> machines{1};
  bool onair_only = true;
  bool operator==(const RivendellConfig &) const = default;
};

enum class FileFormat { json, text };
struct FileInputConfig {
  std::string path;  // empty: off
  FileFormat format = FileFormat::json;
  std::string pattern = "{artist} - {title}";
  bool operator==(const FileInputConfig &) const = default;
};

struct TimingConfig {  // seconds
  double refresh = 10;
  double grace = 5;
  double max_age = 900;
  double silence = 0;  // 0: off
  double min_duration = 0;
  bool operator==(const TimingConfig &) const = default;
};

struct HttpConfig {
  std::string listen;  // "ADDRESS:PORT", empty: off
  std::string secret;
  bool operator==(const HttpConfig &) const = default;
};

struct Config {
  std::string path;  // the file it was read from
  std::string station;
  std::vector<ExciterConfig> exciters;
  JsonInputConfig json;
  RivendellConfig rivendell;
  FileInputConfig file;
  TimingConfig timing;
  Templates templ{"{title}", "{artist}", "{album}", "{genre}", "", ""};
  Templates fallback{"{station}", "", "", "", "", ""};
  bool flush_first = false;
  Limits limits;
  std::vector<std::string> skip_groups;
  std::string ufid_owner;  // empty: no UFID group
  std::string state_path;  // empty: $STATE_DIRECTORY/state.json, else no state file
  HttpConfig http;
};

// A configuration that cannot be used: where and why, as "file:line:column: what".
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads and checks the whole file; throws ConfigError. Names are not resolved here.
// Listening addresses come out as "ADDRESS:PORT" ("[IPv6]:PORT"), a port alone as
// "127.0.0.1:PORT"; exciter and feed hosts without brackets.
Config load_config(const std::string &path);

// A listening address of a loaded Config split for getaddrinfo: host without brackets.
struct HostPort {
  std::string host;
  uint16_t port = 0;
};
HostPort split_listen(const std::string &address);

}  // namespace marlod
