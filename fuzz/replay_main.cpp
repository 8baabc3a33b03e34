// SPDX-License-Identifier: GPL-2.0-or-later
// Replays fuzz inputs without libFuzzer: every file named on the command line, or found in a
// directory named there, goes through the target once. Each input is copied into an
// allocation of its own size, so that a read past its end is seen by the sanitizers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void runOne(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(copy.get(), bytes.size());
}

}  // namespace

int main(int argc, char **argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (!std::filesystem::exists(arg)) {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 1;
    }
    if (std::filesystem::is_directory(arg)) {
      for (const auto &entry : std::filesystem::recursive_directory_iterator(arg))
        if (entry.is_regular_file()) {
          runOne(entry.path());
          ++count;
        }
    } else {
      runOne(arg);
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count > 0 ? 0 : 1;
}
