// SPDX-License-Identifier: GPL-2.0-or-later
// Stops held back while a file is saved.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#include <sys/stat.h>
#endif

namespace zel::tools {

// While it lives, SIGINT, SIGTERM and SIGHUP wait: one that arrives during a save to path takes
// effect when the save is done, and ends the program as it always did, with that signal. A save
// stopped halfway would leave its temporary file behind. Nothing is held for a save to a FIFO or
// a device, which is written in place and may block until a reader comes.
class HeldStops {
 public:
  explicit HeldStops(const char *path) {
#if !defined(_WIN32)
    struct stat info {};
    if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return;
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    held_ = ::sigprocmask(SIG_BLOCK, &stops, &before_) == 0;
#else
    (void)path;
#endif
  }
  ~HeldStops() {
#if !defined(_WIN32)
    if (held_) ::sigprocmask(SIG_SETMASK, &before_, nullptr);  // a waiting stop is taken here
#endif
  }
  HeldStops(const HeldStops &) = delete;
  HeldStops &operator=(const HeldStops &) = delete;

 private:
#if !defined(_WIN32)
  sigset_t before_{};
  bool held_ = false;
#endif
};

}  // namespace zel::tools
