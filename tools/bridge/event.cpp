// SPDX-License-Identifier: GPL-2.0-or-later
#include "event.hpp"

#include <cerrno>
#include <ctime>
#include <system_error>

namespace marlod {

uint64_t now_usec(sd_event *loop) {
  uint64_t usec = 0;
  if (sd_event_now(loop, CLOCK_MONOTONIC, &usec) < 0) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    usec = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  }
  return usec;
}

uint64_t wall_usec() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string iso_time(uint64_t wall_microseconds) {
  time_t seconds = static_cast<time_t>(wall_microseconds / 1000000u);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03uZ",
           static_cast<unsigned>(wall_microseconds / 1000u % 1000u));
  return text;
}

Timer::Timer(sd_event *loop, std::function<void()> fire) : loop_(loop), fire_(std::move(fire)) {}

void Timer::at(uint64_t monotonic_usec) {
  due_ = monotonic_usec;
  armed_ = true;
  if (!source_) {
    int r = sd_event_add_time(loop_, source_.put(), CLOCK_MONOTONIC, monotonic_usec,
                              kTimerAccuracyUsec, &Timer::on_time, this);
    if (r < 0) throw std::system_error(-r, std::generic_category(), "timer");
    return;
  }
  sd_event_source_set_time(source_.get(), monotonic_usec);
  sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
}

void Timer::after(double seconds) { at(now_usec(loop_) + usec_of(seconds)); }

void Timer::cancel() {
  armed_ = false;
  if (source_) sd_event_source_set_enabled(source_.get(), SD_EVENT_OFF);
}

int Timer::on_time(sd_event_source *, uint64_t, void *self) {
  // The callback may destroy this timer; take the function out first.
  auto *timer = static_cast<Timer *>(self);
  timer->armed_ = false;
  auto fn = timer->fire_;
  fn();
  return 0;
}

void IoWatch::watch(sd_event *loop, int fd, uint32_t events,
                    std::function<void(uint32_t)> on_ready) {
  on_ready_ = std::move(on_ready);
  int r = sd_event_add_io(loop, source_.put(), fd, events, &IoWatch::on_io, this);
  if (r < 0) throw std::system_error(-r, std::generic_category(), "watch");
}

void IoWatch::set_events(uint32_t events) {
  if (source_) sd_event_source_set_io_events(source_.get(), events);
}

int IoWatch::on_io(sd_event_source *, int, uint32_t revents, void *self) {
  // The callback may destroy this watch; take the function out first.
  auto *watch = static_cast<IoWatch *>(self);
  auto fn = watch->on_ready_;
  fn(revents);
  return 0;
}

}  // namespace marlod
