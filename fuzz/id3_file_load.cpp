// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as an ID3 file to load.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/zel_marlo.h"

namespace {

// A file of this process, removed at exit; in memory (/dev/shm) where there is such a place,
// since every input is written and read once.
struct ScratchFile {
  ScratchFile() {
    char shm[] = "/dev/shm/zel_id3_file_load_XXXXXX";
    char tmp[] = "/tmp/zel_id3_file_load_XXXXXX";
    char *pattern = ::access("/dev/shm", W_OK) == 0 ? shm : tmp;
    const int fd = ::mkstemp(pattern);
    if (fd < 0) std::abort();
    ::close(fd);
    path = pattern;
  }
  ~ScratchFile() { std::remove(path.c_str()); }
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static ScratchFile file;
  static ZEL_MARLO_PSD_MSG_t *msg = [] {
    ZEL_MARLO_PSD_MSG_t *m = nullptr;
    if (zel_marlo_allocPsdMsg(&m) != ZEL_MARLO_SUCCESS) std::abort();
    return m;
  }();

  FILE *out = std::fopen(file.path.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
  zel_marlo_loadId3PsdFile(msg, file.path.c_str());
  return 0;
}
