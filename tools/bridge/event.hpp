// SPDX-License-Identifier: GPL-2.0-or-later
// Small owners for the event loop's sources and for file descriptors, and the clocks the
// bridge reads.
#pragma once

#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace marlod {

// Timers fire within this much of their due time.
inline constexpr uint64_t kTimerAccuracyUsec = 1000;

class Source {
 public:
  Source() = default;
  explicit Source(sd_event_source *s) : s_(s) {}
  Source(Source &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
  Source &operator=(Source &&o) noexcept {
    if (this != &o) {
      reset();
      s_ = std::exchange(o.s_, nullptr);
    }
    return *this;
  }
  ~Source() { reset(); }
  void reset() {
    if (s_) sd_event_source_disable_unref(s_);
    s_ = nullptr;
  }
  sd_event_source *get() const { return s_; }
  sd_event_source **put() {
    reset();
    return &s_;
  }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  sd_event_source *s_ = nullptr;
};

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd &operator=(Fd &&o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Monotonic time of the loop in microseconds, for timers.
uint64_t now_usec(sd_event *loop);
// Wall-clock time in microseconds since the epoch, for what people read.
uint64_t wall_usec();
// "2026-12-10T14:03:07.120Z"
std::string iso_time(uint64_t wall_microseconds);

// A one-shot timer on CLOCK_MONOTONIC. Lives where it was made (the loop holds its address).
class Timer {
 public:
  Timer(sd_event *loop, std::function<void()> fire);
  Timer(const Timer &) = delete;
  Timer &operator=(const Timer &) = delete;
  void at(uint64_t monotonic_usec);  // (re)arms
  void after(double seconds);
  void cancel();
  bool armed() const { return armed_; }
  uint64_t due() const { return due_; }

 private:
  static int on_time(sd_event_source *, uint64_t, void *self);
  sd_event *loop_;
  std::function<void()> fire_;
  Source source_;
  bool armed_ = false;
  uint64_t due_ = 0;
};

// Watches a descriptor; the callback gets the epoll events.
class IoWatch {
 public:
  IoWatch() = default;
  IoWatch(const IoWatch &) = delete;
  IoWatch &operator=(const IoWatch &) = delete;
  // Throws std::system_error when the loop cannot watch the descriptor (a regular file).
  void watch(sd_event *loop, int fd, uint32_t events, std::function<void(uint32_t)> on_ready);
  void set_events(uint32_t events);
  void reset() { source_.reset(); }

 private:
  static int on_io(sd_event_source *, int, uint32_t revents, void *self);
  std::function<void(uint32_t)> on_ready_;
  Source source_;
};

// Seconds as microseconds, never negative.
inline uint64_t usec_of(double seconds) {
  return seconds <= 0 ? 0 : static_cast<uint64_t>(seconds * 1e6 + 0.5);
}

}  // namespace marlod
