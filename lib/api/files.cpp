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

#include "api/id3/format.hpp"
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

// A descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now; false when the close reports a failure (a write the file system took only then).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Every temporary file of a save is named so, in the target's folder.
std::string temporaryName() {
  static std::atomic<unsigned> counter{0};
  return ".zel-save-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// The target of a save that replaces it: its folder open, its name in that folder, and what it
// is now (nothing, when it is new).
struct Target {
  Fd folder;
  std::string name;
  bool existed = false;
  struct stat info {};
};

// Whether path can be replaced as a whole and keep what a save in place keeps: a regular file
// the caller may write itself (a write-protected one is refused in place, as it always was), or
// a path where nothing is yet. Anything else is written in place: a device, a FIFO, and a
// symbolic link, which may lead to one (/dev/stdout) and whose target the caller may mean to
// keep a link to.
bool replaceable(const char *path, Target &target) {
  if (::lstat(path, &target.info) == 0) {
    if (!S_ISREG(target.info.st_mode)) return false;
    target.existed = true;
  } else if (errno != ENOENT) {
    return false;
  }
  const char *slash = std::strrchr(path, '/');
  target.name = slash != nullptr ? slash + 1 : path;
  if (target.name.empty()) return false;
  // The folder by a descriptor, so that only the short names count against the path limits.
  const std::string folder = slash == nullptr ? "."
                             : slash == path  ? "/"
                                              : std::string(path, slash);
#if defined(O_PATH)
  target.folder.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
#else
  target.folder.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
#endif
  if (!target.folder) return false;
  return !target.existed ||
         ::faccessat(target.folder.get(), target.name.c_str(), W_OK, AT_EACCESS) == 0;
}

// The file that takes the target's place while it is written. Unnamed where the file system
// makes one (O_TMPFILE), so that a process stopped on the way leaves nothing behind; named
// temporaryName() otherwise, in which case name receives the name.
Fd createTemporary(const Target &target, std::string &name) {
  const mode_t mode = target.existed ? 0600 : 0666;  // a new file: the umask applies
  name.clear();
#if defined(O_TMPFILE)
  const int unnamed = ::openat(target.folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (unnamed >= 0) return Fd(unnamed);
#endif
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = temporaryName();
    const int fd =
        ::openat(target.folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EEXIST) break;
  }
  name.clear();
  return Fd();
}

// The replacing file takes the target's owner, group and permission bits; false when they
// cannot all be kept (a caller who may write a file it does not own may not give one away).
bool takeOverAttributes(int fd, const Target &target) {
  if (!target.existed) return true;
  struct stat own {};
  if (::fstat(fd, &own) != 0) return false;
  const uid_t uid = own.st_uid == target.info.st_uid ? static_cast<uid_t>(-1) : target.info.st_uid;
  const gid_t gid = own.st_gid == target.info.st_gid ? static_cast<gid_t>(-1) : target.info.st_gid;
  if ((uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) &&
      ::fchown(fd, uid, gid) != 0)
    return false;
  // After the owner: a change of owner clears the set-user-ID and set-group-ID bits.
  return ::fchmod(fd, target.info.st_mode & 07777) == 0;
}

// Gives an unnamed file a temporary name in the folder; false when it cannot be linked.
bool linkTemporary(int fd, const Target &target, std::string &name) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = temporaryName();
    if (::linkat(AT_FDCWD, self, target.folder.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return true;
    if (errno == EEXIST) continue;
#if defined(AT_EMPTY_PATH)
    // Without /proc; allowed to a privileged caller only.
    if (::linkat(fd, "", target.folder.get(), name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) continue;
#endif
    break;
  }
  name.clear();
  return false;
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

// Opened for writing, cut and written as it is: a device, a FIFO or a symbolic link, and a file
// that cannot be replaced whole.
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

enum class Replaced { yes, failed, inPlace };

// The whole tag into a new file beside the target, on disk, then renamed over it: a reader sees
// the old file or the new one, never a part; a failure leaves the old file as it was. Where the
// target cannot be replaced keeping its owner, group and protection, or no file can be made
// beside it, or the folder refuses the rename (a sticky folder, say), the save is left to
// writeInPlace, which does what a save always did.
Replaced replaceFile(Msg &msg, const char *path, const id3::EncodedTag &tag) {
  Target target;
  if (!replaceable(path, target)) return Replaced::inPlace;
  std::string name;
  Fd file = createTemporary(target, name);
  if (!file) return Replaced::inPlace;
  const int folder = target.folder.get();
  auto discard = [&] {
    if (!name.empty()) ::unlinkat(folder, name.c_str(), 0);
  };
  if (!takeOverAttributes(file.get(), target)) {
    discard();
    return Replaced::inPlace;
  }
  bool written = writeAll(file.get(), tag.data.get(), tag.length);
  written = written && ::fsync(file.get()) == 0;
  if (written && name.empty() && !linkTemporary(file.get(), target, name))
    return Replaced::inPlace;  // the unnamed file goes with its descriptor
  written = file.close() && written;
  if (written && ::renameat(folder, name.c_str(), folder, target.name.c_str()) != 0) {
    const bool refused = errno == EPERM || errno == EACCES;
    discard();
    if (refused) return Replaced::inPlace;
    written = false;
  } else if (!written) {
    discard();
  }
  if (!written) {
    reportPsdError(msg.error, E_FILE, 1593, "file write failed for '%s'", path);
    return Replaced::failed;
  }
  return Replaced::yes;
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
    switch (replaceFile(msg, path, tag)) {
      case Replaced::yes:
        return true;
      case Replaced::failed:
        return false;
      case Replaced::inPlace:
        break;
    }
  }
  return writeInPlace(msg, path, tag);
}

}  // namespace zel
