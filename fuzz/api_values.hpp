// SPDX-License-Identifier: GPL-2.0-or-later
// What the property targets read back through the public API: texts (an absent one told apart
// from every value), the last report, and a failure that stops the run with both sides shown.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/zel_marlo.h"

namespace zel::fuzz {

[[noreturn]] inline void fail(const char *what, const std::string &expected,
                              const std::string &got) {
  std::fprintf(stderr, "%s: expected '%s', got '%s'\n", what, expected.c_str(), got.c_str());
  std::abort();
}

inline std::string report(ZEL_MARLO_PSD_MSG_t *msg) {
  const char *r = zel_marlo_getErrorStr(msg);
  return r != nullptr ? r : "";
}

// A text reader's result; absent as a text that holds a zero byte, which no value can.
inline const std::string kAbsent("\0absent", 7);

inline std::string read(char *owned) {
  if (owned == nullptr) return kAbsent;
  std::string s(owned);
  std::free(owned);
  return s;
}

}  // namespace zel::fuzz
