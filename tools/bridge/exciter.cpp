// SPDX-License-Identifier: GPL-2.0-or-later
#include "exciter.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstring>

namespace marlod {

// A refusal (ICMP) arrives after the send that caused it; a send counts as good when none has
// come this long after it.
static constexpr double kConfirmSeconds = 0.5;

Exciter::Exciter(sd_event *loop, Log &log, const ExciterConfig &config)
    : loop_(loop),
      log_(log),
      config_(config),
      name_(config.host + ":" + std::to_string(config.port)),
      delay_(loop, [this] { transmit(); }),
      confirm_(loop, [this] { confirm(); }) {}

std::string Exciter::address() const {
  char host[NI_MAXHOST] = "", serv[NI_MAXSERV] = "";
  if (addr_len_ == 0 ||
      getnameinfo(reinterpret_cast<const sockaddr *>(&addr_), addr_len_, host, sizeof host, serv,
                  sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "";
  if (addr_.ss_family == AF_INET6) return std::string("[") + host + "]:" + serv;
  return std::string(host) + ":" + serv;
}

bool Exciter::resolve(std::string *why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo *found = nullptr;
  std::string port = std::to_string(config_.port);
  int r = getaddrinfo(config_.host.c_str(), port.c_str(), &hints, &found);
  if (r != 0 || !found) {
    // AI_ADDRCONFIG hides loopback-only hosts on a machine without other addresses.
    hints.ai_flags = 0;
    r = getaddrinfo(config_.host.c_str(), port.c_str(), &hints, &found);
  }
  if (r != 0 || !found) {
    *why = std::string("cannot resolve ") + config_.host + ": " + gai_strerror(r);
    return false;
  }
  Fd s(socket(found->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s || connect(s.get(), found->ai_addr, found->ai_addrlen) != 0) {
    *why = std::string("cannot open a socket to ") + name_ + ": " + std::strerror(errno);
    freeaddrinfo(found);
    return false;
  }
  std::memcpy(&addr_, found->ai_addr, found->ai_addrlen);
  addr_len_ = found->ai_addrlen;
  freeaddrinfo(found);
  socket_ = std::move(s);
  // Nothing is expected back; the watch is there to see a refusal (EPOLLERR) at once.
  watch_.watch(loop_, socket_.get(), EPOLLIN, [this](uint32_t events) { on_socket(events); });
  return true;
}

void Exciter::reconfigure(const ExciterConfig &config) {
  ExciterConfig old = config_;
  config_ = config;
  std::string why;
  if (!resolve(&why)) {
    log_.warning("exciter " + name_ + ": " + why + "; keeping " + address());
    config_.host = old.host;  // the address in use stays the old name's
  }
}

void Exciter::send(std::vector<Bytes> burst) {
  pending_ = std::move(burst);
  if (config_.delay_ms <= 0) {
    delay_.cancel();
    transmit();
  } else {
    delay_.after(config_.delay_ms / 1000.0);
  }
}

void Exciter::transmit() {
  if (!socket_) {
    failed("no address");
    return;
  }
  for (const Bytes &packet : pending_) {
    ssize_t n = ::send(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ECONNREFUSED)  // the refusal of an earlier send: this one goes out
      n = ::send(socket_.get(), packet.data(), packet.size(), MSG_NOSIGNAL);
    if (n < 0) {
      failed(std::strerror(errno));
      return;
    }
    ++sends_;
  }
  last_send_wall_ = wall_usec();
  // Not pushed back by later sends: with a refresh shorter than the wait, an exciter that
  // answers again must still be seen as healthy again.
  if (!confirm_.armed()) confirm_.after(kConfirmSeconds);
}

void Exciter::failed(const std::string &why) {
  ++errors_;
  last_error_ = why;
  last_error_wall_ = wall_usec();
  confirm_.cancel();
  if (healthy_) log_.error("exciter " + name_ + ": " + why);
  healthy_ = false;
}

void Exciter::confirm() {
  if (!healthy_) log_.info("exciter " + name_ + ": sending again");
  healthy_ = true;
}

void Exciter::on_socket(uint32_t events) {
  if (events & EPOLLERR) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) failed(std::strerror(err));
  }
  if (events & EPOLLIN) {
    char scratch[512];
    while (recv(socket_.get(), scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
    }
  }
}

}  // namespace marlod
