// SPDX-License-Identifier: GPL-2.0-or-later
// One exciter: its address, resolved at start and reload only, a connected UDP socket (so a
// refused port is seen), its delay and its counters.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config.hpp"
#include "event.hpp"
#include "log.hpp"

namespace marlod {

using Bytes = std::vector<uint8_t>;

class Exciter {
 public:
  Exciter(sd_event *loop, Log &log, const ExciterConfig &config);
  Exciter(const Exciter &) = delete;
  Exciter &operator=(const Exciter &) = delete;

  // Looks the name up and connects the socket; a failure keeps the address it had.
  bool resolve(std::string *why);
  // Takes a new configuration (same name), keeping the address when the new lookup fails.
  void reconfigure(const ExciterConfig &config);

  // Sends the packets (a flush and a message, or one of them) now, or after delay_ms: at most
  // one send waits, a newer one replaces it.
  void send(std::vector<Bytes> burst);
  // Forgets a waiting send (at stop).
  void drop_pending() { delay_.cancel(); }

  const ExciterConfig &config() const { return config_; }
  const std::string &name() const { return name_; }
  std::string address() const;
  bool healthy() const { return healthy_; }
  uint64_t sends() const { return sends_; }
  uint64_t errors() const { return errors_; }
  uint64_t last_send_wall() const { return last_send_wall_; }
  const std::string &last_error() const { return last_error_; }
  uint64_t last_error_wall() const { return last_error_wall_; }

 private:
  void transmit();
  void failed(const std::string &why);
  void on_socket(uint32_t events);
  void confirm();

  sd_event *loop_;
  Log &log_;
  ExciterConfig config_;
  std::string name_;
  sockaddr_storage addr_{};
  socklen_t addr_len_ = 0;
  Fd socket_;
  IoWatch watch_;
  Timer delay_;
  Timer confirm_;
  std::vector<Bytes> pending_;
  bool healthy_ = true;
  uint64_t sends_ = 0, errors_ = 0;
  uint64_t last_send_wall_ = 0, last_error_wall_ = 0;
  std::string last_error_;
};

}  // namespace marlod
