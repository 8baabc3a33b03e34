// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's inputs: JSON over UDP, over TCP and on standard input, the playout's PAD feed
// and a watched file. Each turns what arrives into items for the sink and never lets bad input
// stop it.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "config.hpp"
#include "event.hpp"
#include "log.hpp"
#include "parse.hpp"

namespace marlod {

struct InputStats {
  std::string name;     // "json-udp", "json-tcp", "stdin", "rivendell", "file", "http"
  std::string address;  // what it listens on, connects to or reads
  bool connected = false;
  uint64_t last_event_wall = 0;  // 0: none yet
  uint64_t last_event_mono = 0;
  uint64_t accepted = 0, skipped = 0;
};

// Where inputs deliver. Every event counts for the silence watchdog, skipped ones included.
class InputSink {
 public:
  virtual ~InputSink() = default;
  // A parsed event (ok, invalid or ignored): the item takes the road, the others are logged.
  virtual void deliver(const Parsed &parsed, InputStats &stats) = 0;
  virtual void feed_reconnected() = 0;
};

class Input {
 public:
  virtual ~Input() = default;
  InputStats stats;
};

// Each throws std::runtime_error with a line for the log when it cannot start (a port taken).
std::unique_ptr<Input> open_json_udp(sd_event *loop, Log &log, InputSink &sink,
                                     const std::string &address);
std::unique_ptr<Input> open_json_tcp(sd_event *loop, Log &log, InputSink &sink,
                                     const std::string &address);
std::unique_ptr<Input> open_stdin(sd_event *loop, Log &log, InputSink &sink);
std::unique_ptr<Input> open_rivendell(sd_event *loop, Log &log, InputSink &sink,
                                      const RivendellConfig &config);
std::unique_ptr<Input> open_file(sd_event *loop, Log &log, InputSink &sink,
                                 const FileInputConfig &config);

// "ADDRESS:PORT", "[v6]:PORT", ":PORT" or "PORT" (loopback) into a socket address; throws.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};
SocketAddress parse_listen_address(const std::string &text);

}  // namespace marlod
