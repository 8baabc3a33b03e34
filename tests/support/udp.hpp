// SPDX-License-Identifier: GPL-2.0-or-later
// Test support: a plain UDP socket on 127.0.0.1 with a port the system picked, and bounded
// receives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace zel::test {

class UdpSocket {
 public:
  // Binds 127.0.0.1:port (0: any free port).
  explicit UdpSocket(uint16_t port = 0) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close();
      return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~UdpSocket() { close(); }
  UdpSocket(const UdpSocket &) = delete;
  UdpSocket &operator=(const UdpSocket &) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }

  // One datagram, or nothing after timeoutMs.
  std::optional<std::vector<uint8_t>> receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    std::vector<uint8_t> buf(70000);
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return buf;
  }

  // Sends one datagram to 127.0.0.1:port.
  bool sendTo(uint16_t port, const std::vector<uint8_t> &bytes) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&addr),
                    sizeof addr) == static_cast<ssize_t>(bytes.size());
  }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
  uint16_t port_ = 0;
};

// A port that was free a moment ago (bound, read back, released).
inline uint16_t freeUdpPort() {
  UdpSocket probe;
  return probe.port();
}

}  // namespace zel::test
