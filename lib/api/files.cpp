// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/id3/id3_format.hpp"
#include "api/message.hpp"
#include "common/heap.hpp"

namespace zel {

namespace {

// The largest ID3v2 tag: header, 28-bit size, footer. Nothing after it is looked at, so a
// larger file is read only that far.
constexpr uint64_t kMaxTagFileRead = 10 + 0x0FFFFFFFull + 10;
constexpr uint64_t kId3v1Length = 128;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

const char *shown(const char *path) { return path != nullptr ? path : ""; }

// How many bytes from the start of a file decoding looks at, given the file's first bytes (at
// most a header's worth): an ID3v2 tag its header, the size the header announces and a v2.4
// footer; an ID3v1 tag its 128 bytes; anything else no more than those first bytes, which
// already decide that it is no tag.
uint64_t bytesLookedAt(const uint8_t *head, size_t count) {
  if (count >= 3 && std::memcmp(head, "TAG", 3) == 0) return kId3v1Length;
  if (count < id3::kHeaderLength || std::memcmp(head, "ID3", 3) != 0) return count;
  const uint32_t raw = uint32_t{head[6]} << 24 | uint32_t{head[7]} << 16 | uint32_t{head[8]} << 8 |
                       uint32_t{head[9]};
  const bool footer = head[3] == 4 && (head[5] & 0x10) != 0;
  return id3::kHeaderLength + id3::fromSyncsafe(raw) + (footer ? id3::kFooterLength : 0);
}

// Where a save goes. A regular file, or a path where nothing is yet, is replaced as a whole;
// anything else is written in place: a device, a FIFO, and a symbolic link, which may lead to
// one (/dev/stdout) and whose target the caller may mean to keep a link to.
struct SaveTarget {
  bool replace = false;
  std::string path;
  bool existed = false;
  struct stat info {};
};

SaveTarget saveTarget(const char *path) {
  SaveTarget t;
  t.path = path;
  if (::lstat(path, &t.info) != 0) {
    t.replace = errno == ENOENT;
    return t;
  }
  t.existed = true;
  t.replace = S_ISREG(t.info.st_mode);
  return t;
}

// A new file beside target, open for writing; -1 when none can be made. A new file gets the
// permissions a new file gets (the umask applies); one that replaces a file gets its owner,
// where that can be kept, and its permission bits.
int createTemporary(const SaveTarget &target, std::string &temporary) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.path.substr(0, slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = folder + ".zel-save-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          target.existed ? 0600 : 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd >= 0 && target.existed) {
      if (::fchown(fd, target.info.st_uid, target.info.st_gid) != 0) {
        // not allowed to give it away: it stays the caller's
      }
      if (::fchmod(fd, target.info.st_mode & 07777) != 0) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return -1;
      }
    }
    return fd;
  }
  return -1;
}

bool writeAll(int fd, const uint8_t *data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// A device, a FIFO or a symbolic link, or a file whose folder takes no new file: opened for
// writing and written as it is.
bool writeInPlace(Msg &msg, const char *path, const id3::EncodedTag &tag) {
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

// The whole tag into a file beside the target, on disk, then renamed over it: a reader sees
// the old file or the new one, never a part; a failure leaves the old file as it was.
bool replaceFile(Msg &msg, const char *path, const SaveTarget &target, const id3::EncodedTag &tag) {
  std::string temporary;
  const int fd = createTemporary(target, temporary);
  if (fd < 0) {
    // No new file can be made beside it (a folder the caller may not write, say): the file is
    // written in place, as it always could be, or the open fails as it always did.
    return writeInPlace(msg, path, tag);
  }
  bool written = writeAll(fd, tag.data.get(), tag.length);
  written = ::fsync(fd) == 0 && written;
  written = ::close(fd) == 0 && written;
  written = written && std::rename(temporary.c_str(), target.path.c_str()) == 0;
  if (!written) {
    ::unlink(temporary.c_str());
    reportPsdError(msg.error, E_FILE, 1593, "file write failed for '%s'", path);
    return false;
  }
  return true;
}

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
  // The file's length as decoding names it; only the part the tag covers is read.
  const auto size =
      static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(info.st_size), kMaxTagFileRead));
  uint8_t head[id3::kHeaderLength];
  const size_t headLength = std::min(size, sizeof head);
  if (std::fread(head, 1, headLength, file.get()) != headLength) {
    reportPsdError(msg.error, E_FILE, 1544, "file read failed for '%s'", shown(path));
    return false;
  }
  const auto wanted =
      static_cast<size_t>(std::min<uint64_t>(bytesLookedAt(head, headLength), size));
  HeapPtr<uint8_t> buffer = heapAlloc<uint8_t>(wanted);
  if (!buffer) {
    reportPsdError(msg.error, E_SYSTEM, 1533, "malloc tag failed in load id3 file ");
    return false;
  }
  std::memcpy(buffer.get(), head, headLength);
  const size_t rest = wanted - headLength;
  if (std::fread(buffer.get() + headLength, 1, rest, file.get()) != rest) {
    reportPsdError(msg.error, E_FILE, 1544, "file read failed for '%s'", shown(path));
    return false;
  }
  return takeOverTag(msg, std::span<const uint8_t>(buffer.get(), wanted), size);
}

bool saveId3File(Msg &msg, const char *path) {
  id3::EncodedTag tag;
  if (!encodeMessage(msg, tag)) return false;
  if (path != nullptr) {
    const SaveTarget target = saveTarget(path);
    if (target.replace) return replaceFile(msg, path, target, tag);
  }
  return writeInPlace(msg, path, tag);
}

}  // namespace zel
