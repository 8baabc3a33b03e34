// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/files.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "api/message.hpp"
#include "common/heap.hpp"

namespace zel {

namespace {

// The largest ID3v2 tag: header, 28-bit size, footer. Nothing after it is looked at, so a
// larger file is read only that far.
constexpr uint64_t kMaxTagFileRead = 10 + 0x0FFFFFFFull + 10;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

const char *shown(const char *path) { return path != nullptr ? path : ""; }

}  // namespace

bool loadId3File(Msg &msg, const char *path) {
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? std::fopen(path, "rb") : nullptr);
  if (!file) {
    reportPsdError(msg.error, E_FILE, 1510, "file open failed for '%s'", shown(path));
    return false;
  }
  struct stat info {};
  if (::stat(path, &info) != 0 || info.st_size < 0) {
    reportPsdError(msg.error, E_FILE, 1519, "file stat failed for '%s'", shown(path));
    return false;
  }
  const auto size =
      static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(info.st_size), kMaxTagFileRead));
  HeapPtr<uint8_t> buffer = heapAlloc<uint8_t>(size);
  if (!buffer) {
    reportPsdError(msg.error, E_SYSTEM, 1533, "malloc tag failed in load id3 file ");
    return false;
  }
  if (std::fread(buffer.get(), 1, size, file.get()) != size) {
    reportPsdError(msg.error, E_FILE, 1544, "file read failed for '%s'", shown(path));
    return false;
  }
  return takeOverTag(msg, std::span<const uint8_t>(buffer.get(), size));
}

bool saveId3File(Msg &msg, const char *path) {
  id3::EncodedTag tag;
  if (!encodeMessage(msg, tag)) return false;

  FILE *file = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (file == nullptr) {
    reportPsdError(msg.error, E_FILE, 1582, "file open failed for '%s'", shown(path));
    return false;
  }
  // A write the stream only fails at its flush or close is a failed write as well.
  bool written = std::fwrite(tag.data.get(), 1, tag.length, file) == tag.length;
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    reportPsdError(msg.error, E_FILE, 1593, "file write failed for '%s'", shown(path));
    return false;
  }
  return true;
}

}  // namespace zel
