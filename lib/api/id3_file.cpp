// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "api/id3_codec.hpp"

namespace zel {

namespace {

// The largest ID3v2 tag: header, 28-bit size, footer. Nothing after it is looked at, so a
// larger file is read only that far.
constexpr uint64_t kMaxTagFileRead = 10 + 0x0FFFFFFFull + 10;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
struct Id3MsgDeleter {
  void operator()(ZEL_MARLO_ID3_PSD_MSG_t *m) const { zel_marlo_freeId3PsdMsg(m); }
};

const char *shown(const char *path) { return path != nullptr ? path : ""; }

}  // namespace

bool loadId3File(Msg &msg, const char *path) {
  std::unique_ptr<FILE, FileCloser> file(path != nullptr ? std::fopen(path, "rb") : nullptr);
  if (!file) {
    reportPsdError(msg, E_FILE, 1510, "file open failed for '%s'", shown(path));
    return false;
  }
  struct stat info {};
  if (::stat(path, &info) != 0 || info.st_size < 0) {
    reportPsdError(msg, E_FILE, 1519, "file stat failed for '%s'", shown(path));
    return false;
  }
  const auto size =
      static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(info.st_size), kMaxTagFileRead));
  std::unique_ptr<uint8_t, FreeDeleter> buffer(
      static_cast<uint8_t *>(std::malloc(size > 0 ? size : 1)));
  if (!buffer) {
    reportPsdError(msg, E_SYSTEM, 1533, "malloc tag failed in load id3 file %s", "");
    return false;
  }
  if (std::fread(buffer.get(), 1, size, file.get()) != size) {
    reportPsdError(msg, E_FILE, 1544, "file read failed for '%s'", shown(path));
    return false;
  }
  const ZEL_MARLO_ID3_PSD_MSG_t tag{static_cast<uint32_t>(size), buffer.get()};
  return decodeId3Msg(&tag, msg);
}

bool saveId3File(Msg &msg, const char *path) {
  ZEL_MARLO_ID3_PSD_MSG_t *encoded = nullptr;
  if (!createValidId3Msg(msg, &encoded)) return false;
  std::unique_ptr<ZEL_MARLO_ID3_PSD_MSG_t, Id3MsgDeleter> tag(encoded);

  FILE *file = path != nullptr ? std::fopen(path, "wb") : nullptr;
  if (file == nullptr) {
    reportPsdError(msg, E_FILE, 1582, "file open failed for '%s'", shown(path));
    return false;
  }
  // A write the stream only fails at its flush or close is a failed write as well.
  bool written = std::fwrite(tag->data, 1, tag->length, file) == tag->length;
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    reportPsdError(msg, E_FILE, 1593, "file write failed for '%s'", shown(path));
    return false;
  }
  return true;
}

}  // namespace zel
