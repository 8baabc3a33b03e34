// SPDX-License-Identifier: GPL-2.0-or-later
// The UDP transfer link over BSD sockets.
#include "psdxfer/psdxfer.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "psdxfer/udp_socket.hpp"

namespace {

using zel::xfer::UdpSocket;

constexpr int32_t kOk = 1;
constexpr int32_t kFail = 2;
// How often psdxfer_sendTo hands a datagram over before it gives up on it.
constexpr int kSendAttempts = 8;

// Each thread has its own last-error text: links used on two threads at once never show each
// other's failures.
thread_local char lastError[1000];

__attribute__((format(printf, 1, 2))) void setLastError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(lastError, sizeof lastError, format, args);
  va_end(args);
}

// The texts of some failures show addresses the way a 32-bit int would.
int asDecimal(const void *p) { return static_cast<int>(reinterpret_cast<uintptr_t>(p)); }
unsigned asHex(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

void setIntOption(const UdpSocket &sock, int option, int value) {
  ::setsockopt(sock.get(), SOL_SOCKET, option, &value, sizeof value);
}

bool bindTo(const UdpSocket &sock, const sockaddr_in &addr) {
  return ::bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
}

sockaddr_in wildcard(int32_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// The first IPv4 address of host (a name or dotted address), with the low 16 bits of port.
bool resolve(const char *host, int32_t port, sockaddr_in &addr) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *result = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &result) != 0 || result == nullptr) return false;
  std::memcpy(&addr, result->ai_addr, sizeof addr);
  ::freeaddrinfo(result);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return true;
}

ssize_t sendDatagram(int sock, const uint8_t *data, uint32_t length, const sockaddr_in &to) {
  static const uint8_t none = 0;
  ssize_t n;
  do {
    n = ::sendto(sock, data != nullptr ? data : &none, length, 0,
                 reinterpret_cast<const sockaddr *>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Wraps an open socket in a new link for the caller, which owns the socket from then on until
// psdxfer_close. Without memory for the link the socket is closed.
int32_t handOut(psdxfer_link **link, UdpSocket sock, int32_t port, const char *host) {
  auto *l = static_cast<psdxfer_link *>(std::calloc(1, sizeof(psdxfer_link)));
  if (l == nullptr) {
    setLastError("no memory for the psdxfer link");
    return kFail;
  }
  l->sock = sock.release();
  l->port = port;
  std::strcpy(l->host, host);  // callers pass fewer than 200 characters
  *link = l;
  return kOk;
}

}  // namespace

int32_t psdxfer_openRx(psdxfer_link **link, int32_t port) {
  // Only a port of 1 to 65535 can be bound as given; any other would be cut to its low 16 bits
  // (70000 binds 4464, 65536 a port the system picks) and the link would wait where nobody sends.
  if (link == nullptr || port < 1 || port > 65535) {
    setLastError("Invalid args");
    return kFail;
  }
  *link = nullptr;

  UdpSocket sock = UdpSocket::open();
  if (!sock.valid()) {
    std::fputs("socket() failed \n", stdout);
    return kFail;
  }
  setIntOption(sock, SO_RCVBUF, static_cast<int>(PSDXFER_MAX_DATAGRAM));
  setIntOption(sock, SO_REUSEADDR, 1);
  if (!bindTo(sock, wildcard(port))) {
    std::printf("bind() fail --> %d \n", errno);
    return kFail;
  }

  setLastError("success to create recv psdxfer link");
  return handOut(link, std::move(sock), port, "N/A");
}

int32_t psdxfer_recv(psdxfer_link *link, uint8_t **data, uint32_t *length) {
  if (link == nullptr || data == nullptr || length == nullptr) {
    setLastError("invalid args, %d, %x, %x", asDecimal(link), asHex(data), asHex(length));
    return kFail;
  }

  // One byte more than the limit: with MSG_TRUNC the platform reports a longer datagram's full
  // length, and without it a longer datagram still fills the spare byte.
  std::array<uint8_t, PSDXFER_MAX_DATAGRAM + 1> buffer;
  ssize_t n;
  do {
    n = ::recvfrom(link->sock, buffer.data(), buffer.size(), MSG_TRUNC, nullptr, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    setLastError("recv() failed --> %d", errno);
    return kFail;
  }
  if (static_cast<size_t>(n) > PSDXFER_MAX_DATAGRAM) {
    setLastError("received datagram is exceeding udp limit");
    return kFail;
  }

  // At least one byte, so that a 0-byte datagram still comes with a block to free.
  auto *block = static_cast<uint8_t *>(std::malloc(n > 0 ? static_cast<size_t>(n) : 1));
  if (block == nullptr) {
    setLastError("no memory for the received datagram");
    return kFail;
  }
  std::memcpy(block, buffer.data(), static_cast<size_t>(n));
  *data = block;
  *length = static_cast<uint32_t>(n);
  return kOk;
}

int32_t psdxfer_close(psdxfer_link **link) {
  if (link == nullptr || *link == nullptr) {
    setLastError("Invalid arg");
    return kFail;
  }
  UdpSocket((*link)->sock).reset();
  std::free(*link);
  *link = nullptr;
  return kOk;
}

int32_t psdxfer_openTx(psdxfer_link **link, int32_t port, const char *host) {
  if (link == nullptr || host == nullptr) {
    setLastError("Invalid arg");
    return kFail;
  }
  *link = nullptr;
  // A longer host would have to be cut, and the datagrams would go elsewhere.
  if (std::strlen(host) >= sizeof(psdxfer_link::host)) {
    setLastError("Invalid arg");
    return kFail;
  }

  UdpSocket sock = UdpSocket::open();
  if (!sock.valid()) {
    setLastError("socket() failed");
    return kFail;
  }
  if (!bindTo(sock, wildcard(0))) {  // the platform picks the local port
    setLastError("bind() fail");
    return kFail;
  }

  return handOut(link, std::move(sock), port, host);
}

int32_t psdxfer_send(psdxfer_link *link, const uint8_t *data, uint32_t length) {
  if (link == nullptr || (data == nullptr && length != 0)) {
    setLastError("invalid args, %d, %x, %d", asDecimal(link), asHex(data),
                 static_cast<int>(length));
    return kFail;
  }
  if (length > PSDXFER_MAX_DATAGRAM) {
    setLastError("send buffer is exceeding udp limit");
    return kFail;
  }
  sockaddr_in to{};
  if (!resolve(link->host, link->port, to)) {
    setLastError("unresolved hostname %s", link->host);
    return kFail;
  }
  const ssize_t n = sendDatagram(link->sock, data, length, to);
  if (n < 0 || static_cast<size_t>(n) != length) {
    setLastError("failed to send the msg");
    return kFail;
  }
  return kOk;
}

int32_t psdxfer_sendTo(int32_t port, const char *host, const uint8_t *data, uint32_t length) {
  sockaddr_in to{};
  if (host == nullptr || (data == nullptr && length != 0) || !resolve(host, port, to)) {
    setLastError("Invalid arg");
    return kFail;
  }
  const UdpSocket sock = UdpSocket::open();
  if (!sock.valid()) {
    setLastError("socket() failed");
    return kFail;
  }
  setIntOption(sock, SO_REUSEADDR, 1);

  if (length != 0) {
    // A datagram goes whole or not at all; one the platform keeps refusing (too long, no
    // buffer) is given up after a few attempts so that the call always returns.
    int attempt = 0;
    for (; attempt < kSendAttempts; ++attempt) {
      const ssize_t n = sendDatagram(sock.get(), data, length, to);
      if (n >= 0 && static_cast<size_t>(n) == length) break;
    }
    if (attempt == kSendAttempts) setLastError("failed to send the msg");
  }
  return kOk;
}

const char *psdxfer_getLastError() { return lastError; }
