// SPDX-License-Identifier: GPL-2.0-or-later
// The UDP link on the loopback address. Every wait is bounded: a receive runs only after poll
// has seen a datagram, and the receive sockets time out besides.
#include "psdxfer/psdxfer.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/zel_marlo.h"
#include "psdxfer/udp_socket.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char *kLoopback = "127.0.0.1";
constexpr int kWaitMs = 5000;

// A port that was free a moment ago: bind port 0 on the loopback address and read it back.
int32_t freePort() {
  const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int32_t port = 0;
  if (::bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      ::getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(sock);
  return port;
}

// A receive link on a free port that closes itself.
struct RxLink {
  RxLink() {
    for (int attempt = 0; attempt < 5 && link == nullptr; ++attempt) {
      port = freePort();
      if (port != 0) psdxfer_openRx(&link, port);
    }
    if (link != nullptr) {
      timeval timeout{5, 0};  // a safety net beside the poll below
      ::setsockopt(link->sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
  }
  ~RxLink() {
    if (link != nullptr) psdxfer_close(&link);
  }
  RxLink(const RxLink &) = delete;
  RxLink &operator=(const RxLink &) = delete;

  bool readable(int ms = kWaitMs) const {
    pollfd p{link->sock, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
  }

  // Waits (bounded) for one datagram and receives it; the block is copied and freed.
  int32_t receive(Bytes &out) {
    if (!readable()) return 0;
    uint8_t *data = nullptr;
    uint32_t length = 0xFFFF;
    const int32_t rc = psdxfer_recv(link, &data, &length);
    if (rc == 1) {
      EXPECT_NE(data, nullptr);
      out.assign(data, data + length);
      std::free(data);
    }
    return rc;
  }

  psdxfer_link *link = nullptr;
  int32_t port = 0;
};

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + i / 256);
  return b;
}

struct TxLink {
  TxLink(int32_t port, const char *host) { EXPECT_EQ(psdxfer_openTx(&link, port, host), 1); }
  ~TxLink() {
    if (link != nullptr) psdxfer_close(&link);
  }
  TxLink(const TxLink &) = delete;
  TxLink &operator=(const TxLink &) = delete;
  psdxfer_link *link = nullptr;
};

TEST(Psdxfer, OneDatagramEachWay) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  EXPECT_STREQ(psdxfer_getLastError(), "success to create recv psdxfer link");
  EXPECT_EQ(rx.link->port, rx.port);
  EXPECT_STREQ(rx.link->host, "N/A");

  const Bytes first = {1, 2, 3, 4, 5};
  TxLink tx(rx.port, kLoopback);
  ASSERT_NE(tx.link, nullptr);
  EXPECT_STREQ(tx.link->host, kLoopback);
  ASSERT_EQ(psdxfer_send(tx.link, first.data(), 5), 1);
  Bytes got;
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_EQ(got, first);

  const Bytes second = pattern(300);
  ASSERT_EQ(psdxfer_sendTo(rx.port, kLoopback, second.data(), 300), 1);
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_EQ(got, second);

  // By name as well.
  ASSERT_EQ(psdxfer_sendTo(rx.port, "localhost", first.data(), 3), 1);
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_EQ(got, Bytes(first.begin(), first.begin() + 3));
}

TEST(Psdxfer, ZeroByteDatagram) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  TxLink tx(rx.port, kLoopback);
  ASSERT_EQ(psdxfer_send(tx.link, nullptr, 0), 1);
  Bytes got = {9};
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_TRUE(got.empty());

  // The one-shot send sends nothing at all for 0 bytes.
  ASSERT_EQ(psdxfer_sendTo(rx.port, kLoopback, nullptr, 0), 1);
  EXPECT_FALSE(rx.readable(200));
}

TEST(Psdxfer, LargestDatagramArrivesWhole) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  TxLink tx(rx.port, kLoopback);
  const Bytes largest = pattern(PSDXFER_MAX_DATAGRAM);
  ASSERT_EQ(psdxfer_send(tx.link, largest.data(), PSDXFER_MAX_DATAGRAM), 1);
  Bytes got;
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_EQ(got, largest);

  const Bytes longer = pattern(PSDXFER_MAX_DATAGRAM + 1);
  EXPECT_EQ(psdxfer_send(tx.link, longer.data(), PSDXFER_MAX_DATAGRAM + 1), 2);
  EXPECT_STREQ(psdxfer_getLastError(), "send buffer is exceeding udp limit");
  EXPECT_FALSE(rx.readable(200));
}

TEST(Psdxfer, LongerDatagramIsRefusedNotCut) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  const Bytes longer = pattern(PSDXFER_MAX_DATAGRAM + 1);
  ASSERT_EQ(psdxfer_sendTo(rx.port, kLoopback, longer.data(), PSDXFER_MAX_DATAGRAM + 1), 1);
  Bytes got = {7};
  EXPECT_EQ(rx.receive(got), 2);
  EXPECT_EQ(got, Bytes{7});
  EXPECT_STREQ(psdxfer_getLastError(), "received datagram is exceeding udp limit");

  // The refused datagram is gone; the next one comes through.
  const Bytes next = {4, 2};
  ASSERT_EQ(psdxfer_sendTo(rx.port, kLoopback, next.data(), 2), 1);
  ASSERT_EQ(rx.receive(got), 1);
  EXPECT_EQ(got, next);
}

TEST(Psdxfer, DatagramRefusedForGoodStillReturns) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  const Bytes tooLong = pattern(70000);  // beyond any UDP datagram
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(psdxfer_sendTo(rx.port, kLoopback, tooLong.data(), 70000), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_STREQ(psdxfer_getLastError(), "failed to send the msg");
}

TEST(Psdxfer, ReceiveLinkNeedsAPort) {
  psdxfer_link *link = nullptr;
  EXPECT_EQ(psdxfer_openRx(&link, 0), 2);
  EXPECT_EQ(link, nullptr);
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid args");
  EXPECT_EQ(psdxfer_openRx(nullptr, 4000), 2);
}

TEST(Psdxfer, ReceivePortsOutside1To65535AreRefusedAsPort0Is) {
  // Each of these would otherwise bind its low 16 bits: a port the system picks (65536,
  // 131072, INT32_MIN) or another port than the one asked for.
  const int32_t ports[] = {-1, -11000, 65536, 65536 + 11000, 70000, 131072, INT32_MAX, INT32_MIN};
  for (const int32_t port : ports) {
    psdxfer_link *link = reinterpret_cast<psdxfer_link *>(0x1);
    psdxfer_close(nullptr);  // leaves "Invalid arg"
    testing::internal::CaptureStdout();
    EXPECT_EQ(psdxfer_openRx(&link, port), 2) << port;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << port;
    EXPECT_STREQ(psdxfer_getLastError(), "Invalid args") << port;
    if (link != nullptr && link != reinterpret_cast<psdxfer_link *>(0x1)) psdxfer_close(&link);
  }
}

TEST(Psdxfer, ReceiveOnPortAbove65535FailsAtOnceThroughTheLibrary) {
  // In a child process, so that a receive that waits after all is ended after a bounded time.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ZEL_MARLO_PSD_MSG_t *msg = nullptr;
    ZEL_MARLO_MSG_ID_t id = 0;
    int status = 3;
    if (zel_marlo_allocPsdMsg(&msg) == ZEL_MARLO_SUCCESS) {
      const bool refused = zel_marlo_recvPsdMsg(msg, 65536 + 11000, &id) == ZEL_MARLO_FAILURE &&
                           zel_marlo_getErrorNum(msg) == XFER_RX;
      status = refused ? 0 : 4;
      zel_marlo_deletePsdMsg(msg);
    }
    ::_exit(status);
  }
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      FAIL() << "zel_marlo_recvPsdMsg waited on a port it should have refused";
    }
    ::usleep(10000);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Psdxfer, PortInUsePrintsTheBindFailure) {
  // A socket without address reuse holds the port.
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len), 0);

  psdxfer_link *link = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_EQ(psdxfer_openRx(&link, ntohs(addr.sin_port)), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "bind() fail --> 98 \n");  // EADDRINUSE
  EXPECT_EQ(link, nullptr);
  ::close(holder);
}

TEST(Psdxfer, UnresolvableHost) {
  // A label longer than 63 bytes: the resolver refuses it without asking any name server.
  const std::string name = std::string(70, 'x') + ".invalid";
  const char *host = name.c_str();
  const uint8_t byte = 1;
  EXPECT_EQ(psdxfer_sendTo(4000, host, &byte, 1), 2);
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid arg");
  EXPECT_EQ(psdxfer_sendTo(4000, nullptr, &byte, 1), 2);

  // A transmit link resolves its host at each send.
  TxLink tx(4000, host);
  ASSERT_NE(tx.link, nullptr);
  EXPECT_EQ(psdxfer_send(tx.link, &byte, 1), 2);
  EXPECT_EQ(std::string(psdxfer_getLastError()), "unresolved hostname " + name);
}

TEST(Psdxfer, CloseTwice) {
  RxLink rx;
  ASSERT_NE(rx.link, nullptr);
  psdxfer_link *link = rx.link;
  ASSERT_EQ(psdxfer_close(&link), 1);
  EXPECT_EQ(link, nullptr);
  EXPECT_EQ(psdxfer_close(&link), 2);
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid arg");
  EXPECT_EQ(psdxfer_close(nullptr), 2);
  rx.link = nullptr;
}

TEST(Psdxfer, ArgumentTexts) {
  char expected[100];
  uint8_t *data = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(psdxfer_recv(nullptr, &data, &length), 2);
  std::snprintf(expected, sizeof expected, "invalid args, 0, %x, %x",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&data)),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&length)));
  EXPECT_STREQ(psdxfer_getLastError(), expected);

  const uint8_t byte = 0;
  EXPECT_EQ(psdxfer_send(nullptr, &byte, 5), 2);
  std::snprintf(expected, sizeof expected, "invalid args, 0, %x, 5",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&byte)));
  EXPECT_STREQ(psdxfer_getLastError(), expected);

  psdxfer_link *link = nullptr;
  EXPECT_EQ(psdxfer_openTx(&link, 4000, nullptr), 2);
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid arg");
  EXPECT_EQ(psdxfer_openTx(nullptr, 4000, kLoopback), 2);
}

TEST(Psdxfer, HostMustFitTheLink) {
  const std::string longest(199, 'h');
  TxLink fits(4000, longest.c_str());
  ASSERT_NE(fits.link, nullptr);
  EXPECT_EQ(fits.link->host, longest);

  const std::string tooLong(200, 'h');
  psdxfer_link *link = nullptr;
  EXPECT_EQ(psdxfer_openTx(&link, 4000, tooLong.c_str()), 2);
  EXPECT_EQ(link, nullptr);
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid arg");
}

// Steps that threads take in turn. Every wait gives up after kWaitMs, so a thread that never
// gets its turn fails the test instead of hanging it.
class Turns {
 public:
  bool waitFor(int step) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                             [&] { return step_ >= step; });
  }
  void reach(int step) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      step_ = step;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int step_ = 0;
};

TEST(Psdxfer, EveryThreadHasItsOwnLastErrorText) {
  psdxfer_link *none = nullptr;
  ASSERT_EQ(psdxfer_openRx(&none, 0), 2);
  ASSERT_STREQ(psdxfer_getLastError(), "Invalid args");

  Turns turns;
  int32_t port = 0;
  const Bytes payload = pattern(64);
  const uint8_t byte = 0;
  char sendFailure[100];
  std::snprintf(sendFailure, sizeof sendFailure, "invalid args, 0, %x, 7",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&byte)));

  // Receives on a link of its own while the other thread fails calls of its own.
  std::thread receiver([&] {
    RxLink rx;
    EXPECT_NE(rx.link, nullptr);
    port = rx.link != nullptr ? rx.port : 0;
    turns.reach(1);
    EXPECT_TRUE(turns.waitFor(2));
    EXPECT_STREQ(psdxfer_getLastError(), "success to create recv psdxfer link");
    Bytes got;
    if (rx.link != nullptr) {
      EXPECT_EQ(rx.receive(got), 1);
      EXPECT_EQ(got, payload);
    }
    EXPECT_EQ(psdxfer_close(nullptr), 2);
    EXPECT_STREQ(psdxfer_getLastError(), "Invalid arg");
    turns.reach(3);
  });
  std::thread sender([&] {
    EXPECT_STREQ(psdxfer_getLastError(), "");  // a new thread starts with an empty text
    EXPECT_TRUE(turns.waitFor(1));
    if (port != 0) {
      TxLink tx(port, kLoopback);
      EXPECT_EQ(psdxfer_send(tx.link, payload.data(), static_cast<uint32_t>(payload.size())), 1);
    }
    EXPECT_EQ(psdxfer_send(nullptr, &byte, 7), 2);
    EXPECT_STREQ(psdxfer_getLastError(), sendFailure);
    turns.reach(2);
    EXPECT_TRUE(turns.waitFor(3));
    EXPECT_STREQ(psdxfer_getLastError(), sendFailure);
  });
  receiver.join();
  sender.join();
  EXPECT_STREQ(psdxfer_getLastError(), "Invalid args");
}

// Open descriptors of this process.
int openDescriptors() {
  int n = 0;
  if (DIR *dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++n;
    ::closedir(dir);
  }
  return n;
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UdpSocket, ClosesOnceAndHandsOver) {
  using zel::xfer::UdpSocket;
  int fd = -1;
  {
    UdpSocket sock = UdpSocket::open();
    ASSERT_TRUE(sock.valid());
    fd = sock.get();
    UdpSocket moved(std::move(sock));
    EXPECT_FALSE(sock.valid());
    EXPECT_EQ(moved.get(), fd);
    EXPECT_TRUE(isOpen(fd));
  }
  EXPECT_FALSE(isOpen(fd));

  UdpSocket kept = UdpSocket::open();
  fd = kept.release();
  EXPECT_FALSE(kept.valid());
  EXPECT_TRUE(isOpen(fd));
  UdpSocket other = UdpSocket::open();
  const int otherFd = other.get();
  other = UdpSocket(fd);  // the socket it held is closed, the adopted one kept
  EXPECT_FALSE(isOpen(otherFd));
  EXPECT_TRUE(isOpen(fd));
  other.reset();
  EXPECT_FALSE(isOpen(fd));
  other.reset();  // nothing held: nothing closed
}

TEST(UdpSocket, NoPathLeavesADescriptorOpen) {
  const int before = openDescriptors();
  const uint8_t byte = 1;
  for (int round = 0; round < 3; ++round) {
    {
      RxLink rx;  // open, send to it, receive, close
      ASSERT_NE(rx.link, nullptr);
      ASSERT_EQ(psdxfer_sendTo(rx.port, kLoopback, &byte, 1), 1);
      Bytes got;
      ASSERT_EQ(rx.receive(got), 1);
      // The same port again: the bind fails and its socket is closed.
      psdxfer_link *second = nullptr;
      const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
      socklen_t len = sizeof addr;
      ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len), 0);
      testing::internal::CaptureStdout();
      EXPECT_EQ(psdxfer_openRx(&second, ntohs(addr.sin_port)), 2);
      testing::internal::GetCapturedStdout();
      ::close(holder);
    }
    {
      TxLink tx(freePort(), kLoopback);
      ASSERT_NE(tx.link, nullptr);
      EXPECT_EQ(psdxfer_send(tx.link, &byte, 1), 1);
    }
    const Bytes tooLong = pattern(70000);  // refused for good by the one-shot send
    EXPECT_EQ(psdxfer_sendTo(freePort(), kLoopback, tooLong.data(), 70000), 1);
  }
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
