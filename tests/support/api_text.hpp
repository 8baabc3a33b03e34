// SPDX-License-Identifier: GPL-2.0-or-later
// Test support: texts the API hands out, read and released in one step.
#pragma once

#include <cstdlib>
#include <string>

#include "api/zel_marlo.h"

namespace zel::test {

// The caller's copy of a text reader's result, released here; "<null>" for none.
inline std::string own(char *text) {
  if (text == nullptr) return "<null>";
  std::string s(text);
  std::free(text);
  return s;
}

// The handle's last report, or "<null>" when it has none.
inline std::string errorText(ZEL_MARLO_PSD_MSG_t *msg) {
  const char *text = zel_marlo_getErrorStr(msg);
  return text != nullptr ? text : "<null>";
}

}  // namespace zel::test
