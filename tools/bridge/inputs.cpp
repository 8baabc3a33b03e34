// SPDX-License-Identifier: GPL-2.0-or-later
#include "inputs.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace marlod {

namespace {

constexpr std::size_t kMaxDatagram = 65536;
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kMaxTcpClients = 16;
constexpr double kTcpIdleSeconds = 300;
constexpr double kFeedBackoffFirst = 1, kFeedBackoffLast = 30;
// Reads taken in one wake-up of an input, so that one busy peer cannot hold the loop.
constexpr int kReadsPerWake = 64;

std::string errno_text() { return std::strerror(errno); }

std::string peer_name(const sockaddr_storage &addr, socklen_t len) {
  char host[NI_MAXHOST] = "?", serv[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr *>(&addr), len, host, sizeof host, serv, sizeof serv,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return addr.ss_family == AF_INET6 ? std::string("[") + host + "]:" + serv
                                    : std::string(host) + ":" + serv;
}

Fd listening_socket(int type, const std::string &text) {
  SocketAddress a = parse_listen_address(text);
  Fd s(socket(a.storage.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!s) throw std::runtime_error("socket for " + text + ": " + errno_text());
  int on = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(s.get(), reinterpret_cast<sockaddr *>(&a.storage), a.length) != 0)
    throw std::runtime_error("cannot listen on " + text + ": " + errno_text());
  if (type == SOCK_STREAM && listen(s.get(), 16) != 0)
    throw std::runtime_error("cannot listen on " + text + ": " + errno_text());
  return s;
}

// ---- JSON over UDP: one object per datagram -------------------------------------------------

class JsonUdp : public Input {
 public:
  JsonUdp(sd_event *loop, InputSink &sink, const std::string &address)
      : sink_(sink), socket_(listening_socket(SOCK_DGRAM, address)) {
    // Room for a burst while the loop is busy elsewhere (the kernel caps it at rmem_max).
    int room = 1 << 20;
    setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    stats.name = "json-udp";
    stats.address = address;
    stats.connected = true;
    watch_.watch(loop, socket_.get(), EPOLLIN, [this](uint32_t) { on_ready(); });
  }

 private:
  void on_ready() {
    for (int i = 0; i < kReadsPerWake; ++i) {
      ssize_t n = recv(socket_.get(), buffer_, sizeof buffer_, MSG_DONTWAIT | MSG_TRUNC);
      if (n < 0) return;
      if (static_cast<std::size_t>(n) > sizeof buffer_) {
        Parsed p;
        p.why = "datagram over 64 KiB";
        sink_.deliver(p, stats);
        continue;
      }
      sink_.deliver(parse_json_item(std::string_view(buffer_, static_cast<std::size_t>(n))), stats);
    }
  }

  InputSink &sink_;
  Fd socket_;
  IoWatch watch_;
  char buffer_[kMaxDatagram];
};

// ---- Lines of a stream: TCP clients and standard input --------------------------------------

void deliver_lines(LineSplitter &lines, InputSink &sink, InputStats &stats) {
  while (auto line = lines.next()) {
    if (line->find_first_not_of(" \t\r") == std::string::npos) continue;
    sink.deliver(parse_json_item(*line), stats);
  }
}

class JsonTcp : public Input {
 public:
  JsonTcp(sd_event *loop, Log &log, InputSink &sink, const std::string &address)
      : loop_(loop), log_(log), sink_(sink), socket_(listening_socket(SOCK_STREAM, address)) {
    stats.name = "json-tcp";
    stats.address = address;
    watch_.watch(loop, socket_.get(), EPOLLIN, [this](uint32_t) { on_accept(); });
  }

 private:
  struct Client {
    Client(sd_event *loop, JsonTcp *owner)
        : idle_timer(loop, [this, owner] { owner->on_idle(this); }) {}
    Fd fd;
    IoWatch watch;
    LineSplitter lines{kMaxLine};
    Timer idle_timer;
    std::string peer;
  };

  void on_accept() {
    for (int i = 0; i < kReadsPerWake; ++i) {
      sockaddr_storage addr{};
      socklen_t len = sizeof addr;
      Fd fd(accept4(socket_.get(), reinterpret_cast<sockaddr *>(&addr), &len,
                    SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd) return;
      std::string peer = peer_name(addr, len);
      if (clients_.size() >= kMaxTcpClients) {
        log_.warning("input json-tcp: " + peer + " refused: already " +
                     std::to_string(kMaxTcpClients) + " clients");
        continue;
      }
      auto client = std::make_unique<Client>(loop_, this);
      Client *c = client.get();
      c->fd = std::move(fd);
      c->peer = peer;
      c->watch.watch(loop_, c->fd.get(), EPOLLIN, [this, c](uint32_t) { on_client(c); });
      c->idle_timer.after(kTcpIdleSeconds);
      clients_.push_back(std::move(client));
      stats.connected = true;
      log_.info("input json-tcp: " + peer + " connected");
    }
  }

  void on_client(Client *c) {
    char buffer[16384];
    ssize_t n = read(c->fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      log_.warning("input json-tcp: " + c->peer + ": " + errno_text());
      drop(c);
      return;
    }
    if (n == 0) {
      std::string rest = c->lines.rest();
      if (rest.find_first_not_of(" \t\r") != std::string::npos)
        sink_.deliver(parse_json_item(rest), stats);
      log_.info("input json-tcp: " + c->peer + " closed");
      drop(c);
      return;
    }
    c->idle_timer.after(kTcpIdleSeconds);
    bool fits = c->lines.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    deliver_lines(c->lines, sink_, stats);
    if (!fits) {
      Parsed p;
      p.why = c->peer + ": a line over 64 KiB; connection closed";
      sink_.deliver(p, stats);
      drop(c);
    }
  }

  void on_idle(Client *c) {
    log_.warning("input json-tcp: " + c->peer + " idle for " +
                 std::to_string(static_cast<int>(kTcpIdleSeconds)) + " s: closed");
    drop(c);
  }

  void drop(Client *c) {
    clients_.remove_if([c](const auto &p) { return p.get() == c; });
    stats.connected = !clients_.empty();
  }

  sd_event *loop_;
  Log &log_;
  InputSink &sink_;
  Fd socket_;
  IoWatch watch_;
  std::list<std::unique_ptr<Client>> clients_;
};

class Stdin : public Input {
 public:
  Stdin(sd_event *loop, Log &log, InputSink &sink) : log_(log), sink_(sink) {
    stats.name = "stdin";
    stats.address = "standard input";
    stats.connected = true;
    try {
      watch_.watch(loop, 0, EPOLLIN, [this](uint32_t) { on_ready(); });
    } catch (const std::system_error &) {
      // A regular file or /dev/null cannot be watched; read it once the loop runs.
      sd_event_add_defer(loop, defer_.put(), &Stdin::on_defer, this);
    }
  }

 private:
  static int on_defer(sd_event_source *, void *self) {
    auto *in = static_cast<Stdin *>(self);
    while (in->stats.connected) in->on_ready();
    return 0;
  }

  // One read a wake-up: standard input stays blocking, as the caller left it.
  void on_ready() {
    char buffer[16384];
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      std::string rest = lines_.rest();
      if (rest.find_first_not_of(" \t\r") != std::string::npos)
        sink_.deliver(parse_json_item(rest), stats);
      log_.info("input stdin: end of input");
      stats.connected = false;
      watch_.reset();
      defer_.reset();
      return;
    }
    if (!lines_.feed(std::string_view(buffer, static_cast<std::size_t>(n)))) {
      deliver_lines(lines_, sink_, stats);
      Parsed p;
      p.why = "a line over 64 KiB; standard input is no longer read";
      sink_.deliver(p, stats);
      stats.connected = false;
      watch_.reset();
      defer_.reset();
      return;
    }
    deliver_lines(lines_, sink_, stats);
  }

  Log &log_;
  InputSink &sink_;
  IoWatch watch_;
  Source defer_;
  LineSplitter lines_{kMaxLine};
};

// ---- The playout's PAD feed: a TCP client that reconnects ------------------------------------

class Rivendell : public Input {
 public:
  Rivendell(sd_event *loop, Log &log, InputSink &sink, const RivendellConfig &config)
      : loop_(loop), log_(log), sink_(sink), config_(config), retry_(loop, [this] {
          connect_now();
        }) {
    stats.name = "rivendell";
    stats.address = config.host + ":" + std::to_string(config.port);
    connect_now();
  }

 private:
  void connect_now() {
    watch_.reset();
    socket_.reset();
    framer_ = PadFramer();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string port = std::to_string(config_.port);
    int r = getaddrinfo(config_.host.c_str(), port.c_str(), &hints, &found);
    if (r != 0 || !found) {
      lost(std::string("cannot resolve ") + config_.host + ": " + gai_strerror(r));
      return;
    }
    socket_.reset(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int on = 1, idle = 30, interval = 10, count = 3;
    setsockopt(socket_.get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(socket_.get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    r = connect(socket_.get(), found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (r != 0 && errno != EINPROGRESS) {
      lost(errno_text());
      return;
    }
    watch_.watch(loop_, socket_.get(), EPOLLOUT, [this](uint32_t e) { on_connect(e); });
  }

  void on_connect(uint32_t) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      errno = err;
      lost(errno_text());
      return;
    }
    log_.info("input rivendell: connected to " + stats.address);
    if (ever_connected_) sink_.feed_reconnected();
    ever_connected_ = true;
    stats.connected = true;
    backoff_ = kFeedBackoffFirst;  // a good connection starts the backoff over
    watch_.reset();
    watch_.watch(loop_, socket_.get(), EPOLLIN, [this](uint32_t) { on_ready(); });
  }

  void on_ready() {
    char buffer[16384];
    for (int i = 0; i < kReadsPerWake; ++i) {
      ssize_t n = read(socket_.get(), buffer, sizeof buffer);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      if (n <= 0) {
        if (framer_.partial()) {
          Parsed p;
          p.why = "the feed closed in the middle of a document";
          sink_.deliver(p, stats);
        }
        lost(n == 0 ? "connection closed by the feed" : errno_text());
        return;
      }
      bool fits = framer_.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
      while (auto document = framer_.next())
        sink_.deliver(parse_pad_document(*document, config_), stats);
      if (!fits) {
        Parsed p;
        p.why = "a feed document over the size limit";
        sink_.deliver(p, stats);
        lost("reconnecting after an oversized document");
        return;
      }
    }
  }

  void lost(const std::string &why) {
    watch_.reset();
    socket_.reset();
    if (stats.connected || !reported_)
      log_.warning("input rivendell: " + stats.address + ": " + why + "; retrying in " +
                   std::to_string(static_cast<int>(backoff_)) + " s");
    reported_ = true;
    stats.connected = false;
    retry_.after(backoff_);
    backoff_ = std::min(backoff_ * 2, kFeedBackoffLast);
  }

  sd_event *loop_;
  Log &log_;
  InputSink &sink_;
  RivendellConfig config_;
  Fd socket_;
  IoWatch watch_;
  Timer retry_;
  PadFramer framer_;
  double backoff_ = kFeedBackoffFirst;
  bool ever_connected_ = false;
  bool reported_ = false;
};

// ---- A watched file ---------------------------------------------------------------------------

class WatchedFile : public Input {
 public:
  WatchedFile(sd_event *loop, Log &log, InputSink &sink, const FileInputConfig &config)
      : log_(log), sink_(sink), config_(config) {
    stats.name = "file";
    stats.address = config.path;
    auto slash = config.path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : config.path.substr(0, slash ? slash : 1);
    name_ = slash == std::string::npos ? config.path : config.path.substr(slash + 1);
    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    // The folder is watched, not the file: a playout that writes a new file and renames it into
    // place replaces the file's inode.
    if (!inotify_ ||
        inotify_add_watch(inotify_.get(), dir.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0)
      throw std::runtime_error("cannot watch " + dir + ": " + errno_text());
    watch_.watch(loop, inotify_.get(), EPOLLIN, [this](uint32_t) { on_change(); });
    sd_event_add_defer(loop, first_.put(), &WatchedFile::on_first, this);
  }

 private:
  static int on_first(sd_event_source *, void *self) {
    auto *f = static_cast<WatchedFile *>(self);
    f->first_.reset();
    struct stat st {};
    if (stat(f->config_.path.c_str(), &st) == 0) f->read_file();
    return 0;
  }

  void on_change() {
    alignas(inotify_event) char buffer[4096];
    bool changed = false, gone = false;
    for (;;) {
      ssize_t n = read(inotify_.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      for (char *p = buffer; p < buffer + n;) {
        auto *ev = reinterpret_cast<inotify_event *>(p);
        p += sizeof(inotify_event) + ev->len;
        if (ev->len == 0 || name_ != ev->name) continue;
        if (ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) changed = true, gone = false;
        if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) gone = true, changed = false;
      }
    }
    if (changed) read_file();
    if (gone) {
      log_.warning("input file: " + config_.path + " vanished; the item on air stays");
      stats.connected = false;
    }
  }

  void read_file() {
    Fd fd(open(config_.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
      log_.warning("input file: cannot read " + config_.path + ": " + errno_text());
      stats.connected = false;
      return;
    }
    stats.connected = true;
    std::string content;
    char buffer[16384];
    ssize_t n;
    while ((n = read(fd.get(), buffer, sizeof buffer)) > 0) {
      content.append(buffer, static_cast<std::size_t>(n));
      if (content.size() > kMaxLine) break;
    }
    if (content.size() > kMaxLine) {
      Parsed p;
      p.why = config_.path + " is over 64 KiB";
      sink_.deliver(p, stats);
      return;
    }
    if (content.find_first_not_of(" \t\r\n") == std::string::npos) {
      Parsed p;
      p.status = Parsed::ignored;
      p.why = config_.path + " is empty";
      sink_.deliver(p, stats);
      return;
    }
    if (config_.format == FileFormat::json) {
      sink_.deliver(parse_json_item(content), stats);
    } else {
      std::string line = content.substr(0, content.find('\n'));
      sink_.deliver(parse_text_line(line, config_.pattern), stats);
    }
  }

  Log &log_;
  InputSink &sink_;
  FileInputConfig config_;
  std::string name_;
  Fd inotify_;
  IoWatch watch_;
  Source first_;
};

}  // namespace

SocketAddress parse_listen_address(const std::string &text) {
  std::string host = "127.0.0.1", port = text;
  auto colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
  }
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (r != 0 || !found) throw std::runtime_error("bad address " + text + ": " + gai_strerror(r));
  SocketAddress a;
  std::memcpy(&a.storage, found->ai_addr, found->ai_addrlen);
  a.length = found->ai_addrlen;
  freeaddrinfo(found);
  return a;
}

std::unique_ptr<Input> open_json_udp(sd_event *loop, Log &, InputSink &sink,
                                     const std::string &address) {
  return std::make_unique<JsonUdp>(loop, sink, address);
}
std::unique_ptr<Input> open_json_tcp(sd_event *loop, Log &log, InputSink &sink,
                                     const std::string &address) {
  return std::make_unique<JsonTcp>(loop, log, sink, address);
}
std::unique_ptr<Input> open_stdin(sd_event *loop, Log &log, InputSink &sink) {
  return std::make_unique<Stdin>(loop, log, sink);
}
std::unique_ptr<Input> open_rivendell(sd_event *loop, Log &log, InputSink &sink,
                                      const RivendellConfig &config) {
  return std::make_unique<Rivendell>(loop, log, sink, config);
}
std::unique_ptr<Input> open_file(sd_event *loop, Log &log, InputSink &sink,
                                 const FileInputConfig &config) {
  return std::make_unique<WatchedFile>(loop, log, sink, config);
}

}  // namespace marlod
