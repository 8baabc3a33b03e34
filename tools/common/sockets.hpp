// SPDX-License-Identifier: GPL-2.0-or-later
// The platform's socket layer, started by each tool before its first library call.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#endif

namespace zel::tools {

// Starts the socket layer (version 2.2) where the platform needs it; false when it fails.
inline bool startSockets() {
#if defined(_WIN32)
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

}  // namespace zel::tools
