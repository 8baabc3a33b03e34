// SPDX-License-Identifier: GPL-2.0-or-later
// Test support: turns the library's error log on into a temporary file and reads it back.
#pragma once

#include <cstdio>
#include <string>

#include "api/zel_marlo.h"

namespace zel::test {

class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()) { zel_marlo_enableErrorLog(1, file_); }
  ~LogCapture() {
    zel_marlo_enableErrorLog(0, nullptr);
    if (file_ != nullptr) std::fclose(file_);
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything logged so far; the capture starts over afterwards.
  std::string take() {
    std::string text;
    std::rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
    std::fclose(file_);
    file_ = std::tmpfile();
    zel_marlo_enableErrorLog(1, file_);
    return text;
  }

 private:
  FILE *file_;
};

}  // namespace zel::test
