// SPDX-License-Identifier: GPL-2.0-or-later
// The one owner of a socket descriptor in the transfer module: every socket the module opens is
// held by a UdpSocket until it is closed or handed over to a link, so no path can leak one or
// close one twice.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

namespace zel::xfer {

class UdpSocket {
 public:
  UdpSocket() = default;
  // Takes over fd (a negative value holds nothing).
  explicit UdpSocket(int fd) : fd_(fd) {}
  ~UdpSocket() { reset(); }

  UdpSocket(UdpSocket &&other) noexcept : fd_(other.release()) {}
  UdpSocket &operator=(UdpSocket &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  UdpSocket(const UdpSocket &) = delete;
  UdpSocket &operator=(const UdpSocket &) = delete;

  // A new IPv4 UDP socket, not inherited by programs this process starts; check valid().
  static UdpSocket open() { return UdpSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Gives the descriptor up without closing it; the caller owns it from here on.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor, if any.
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace zel::xfer
