// SPDX-License-Identifier: GPL-2.0-or-later
// Exported function: the versions of the library and of the modules that carry one.
#include <cstring>
#include <mutex>
#include <string_view>

#include "api/handle.hpp"
#include "api/id3/writer.hpp"

namespace {

constexpr size_t kVersionSize = 2048;
char versionText[kVersionSize];

// Appends as much of piece as the buffer has room for, keeping its terminating zero inside.
// False when no room was left at all.
bool append(std::string_view piece) {
  const size_t length = std::strlen(versionText);
  const size_t room = kVersionSize - length;
  if (room == 0) return false;
  const size_t n = piece.size() < room - 1 ? piece.size() : room - 1;
  std::memcpy(versionText + length, piece.data(), n);
  versionText[length + n] = '\0';
  return true;
}

// The text, or the report of the part that did not fit.
const char *composeVersion() {
  std::memset(versionText, 0, sizeof versionText);
  append("\nzel_marlo Version --> ");
  if (!append("zel_marlo v4.1 Jul 17 2008") || !append("\n"))
    return "Error with getVersion on marlo";
  if (!append("zel_vesk Version --> ")) return "Error with getVersion on zel_rtp";
  char veskVersion[1024] = {}, veskBuild[1024] = {};
  zel_vesk_version(veskVersion, veskBuild);
  if (!append(veskVersion) || !append(" ") || !append(veskBuild) || !append("\n"))
    return "Error with getVersion on zel_vesk";
  if (!append("zel_id3 Version --> ")) return "Error with getVersion on id3";
  if (!append(zel::id3::writerVersion()) || !append("\n"))
    return "Error with getVersion on zel_id3";
  return versionText;
}

}  // namespace

// The text never changes, so it is composed once: threads that ask at the same time all read
// the same finished text.
extern "C" ZEL_MARLO_API const char *zel_marlo_getVersion(void) {
  static std::once_flag once;
  static const char *text = nullptr;
  std::call_once(once, [] { text = composeVersion(); });
  return text;
}
