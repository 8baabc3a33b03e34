// SPDX-License-Identifier: GPL-2.0-or-later
// The resource budget of the receive road and the ID3 decoder: every input of at most 32 KiB is
// accepted or rejected within 50 ms and 16 MiB of extra memory. Runs the receive road
// (zel_marlo_recvPsdMsgFromBuffer + zel_marlo_parsePsdMsg) and the ID3 decoder
// (zel_marlo_setId3PsdMsg) over every file of the committed fuzz corpora and over the worst
// cases known, and reports per group the slowest single input (max_us on the wall clock,
// max_cpu_us in CPU time of the thread) and the largest heap that
// one input held on top of what was in use before it (peak_KiB), counted by an allocator that
// this program puts in front of the C library's for everything in the process (libid3tag and
// zlib included).
//
//   build-bench/bench/bench_worst [--benchmark_filter=...]
//
// Times are from a shared machine and vary; the budget is met when max_us stays far below
// 50000 and peak_KiB far below 16384.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "api/zel_marlo.h"
#include "support/wire_bytes.hpp"

// ---- a counting allocator -----------------------------------------------------------------------
// Every block's usable size is added when it is handed out and taken off when it comes back.

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {

size_t g_inUse = 0;
size_t g_peak = 0;

void counted(void *p) {
  if (p == nullptr) return;
  g_inUse += malloc_usable_size(p);
  g_peak = std::max(g_peak, g_inUse);
}

void uncounted(void *p) {
  if (p != nullptr) g_inUse -= std::min(g_inUse, malloc_usable_size(p));
}

}  // namespace

extern "C" {

void *malloc(size_t n) {
  void *p = __libc_malloc(n);
  counted(p);
  return p;
}

void *calloc(size_t n, size_t size) {
  void *p = __libc_calloc(n, size);
  counted(p);
  return p;
}

void *realloc(void *old, size_t n) {
  const size_t before = old != nullptr ? malloc_usable_size(old) : 0;
  void *p = __libc_realloc(old, n);
  if (p != nullptr || n == 0) {
    g_inUse -= std::min(g_inUse, before);
    counted(p);
  }
  return p;
}

void *memalign(size_t alignment, size_t n) {
  void *p = __libc_memalign(alignment, n);
  counted(p);
  return p;
}

void *aligned_alloc(size_t alignment, size_t n) { return memalign(alignment, n); }

int posix_memalign(void **out, size_t alignment, size_t n) {
  void *p = memalign(alignment, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void free(void *p) {
  uncounted(p);
  __libc_free(p);
}

}  // extern "C"

namespace {

using zel::test::Bytes;
using zel::test::deflated;
using zel::test::le32;
using zel::test::noise;
using zel::test::text;
using zel::test::withCrc;
using zel::test::wire::frame3;
using zel::test::wire::id3;
using zel::test::operator+;
using zel::test::be32;

// ---- the two operations measured ----------------------------------------------------------------

ZEL_MARLO_PSD_MSG_t *receiver() {
  static ZEL_MARLO_PSD_MSG_t *msg = [] {
    ZEL_MARLO_PSD_MSG_t *m = nullptr;
    zel_marlo_allocPsdMsg(&m);
    zel_marlo_enablePsdComment(m, 1);
    zel_marlo_enablePsdCommercial(m, 1);
    zel_marlo_enablePsdUfid(m, 1);
    return m;
  }();
  return msg;
}

void road(const Bytes &datagram, ZEL_MARLO_VESK_TYPE_t kind) {
  ZEL_MARLO_MSG_ID_t id = -1;
  if (zel_marlo_recvPsdMsgFromBuffer(receiver(), datagram.data(), uint32_t(datagram.size()), kind,
                                     &id) == ZEL_MARLO_SUCCESS &&
      id == ZEL_MARLO_MSG_ID_PSD) {
    uint16_t contentId = 0;
    zel_marlo_parsePsdMsg(receiver(), &contentId);
  }
}

void decode(const Bytes &tag) {
  const ZEL_MARLO_ID3_PSD_MSG_t record{uint32_t(tag.size()), const_cast<uint8_t *>(tag.data())};
  zel_marlo_setId3PsdMsg(receiver(), &record);
}

// ---- inputs -------------------------------------------------------------------------------------

// The packets the library sends around a tag: the container, then CL (kind 1) or AFL and CL
// (kind 0). Made by the library itself from the container.
Bytes container(const Bytes &tag) {
  return Bytes{0, 0, 1, 0, 1, 0, 7, 0} + le32(uint32_t(tag.size())) + tag;
}
Bytes packet(const Bytes &tag, ZEL_MARLO_VESK_TYPE_t kind) {
  const Bytes c = container(tag);
  const Bytes cl = Bytes{0x10, 0, 0, 1} + be32(0) + be32(uint32_t(c.size())) + c;
  if (kind == ZEL_MARLO_VESK_TYPE_CL) return cl;
  const Bytes afl =
      text("AF") + be32(uint32_t(cl.size() + 4)) + Bytes{0, 1, 0x90, 'i', 0x10, 0, 1, 2} + cl;
  return withCrc(afl);
}

// The largest tag the library writes: every group, every value as long as the 1024 bytes allow.
Bytes largestTag(int32_t encoding) {
  ZEL_MARLO_PSD_MSG_t *m = nullptr;
  zel_marlo_allocPsdMsg(&m);
  zel_marlo_enablePsdComment(m, 1);
  zel_marlo_enablePsdCommercial(m, 1);
  zel_marlo_enablePsdUfid(m, 1);
  zel_marlo_setId3TextEncoding(m, encoding);
  uint8_t id[64];
  std::memset(id, 0xA5, sizeof id);
  zel_marlo_setPsdUfid(m, std::string(128, 'o').c_str(), id, sizeof id);
  zel_marlo_setPsdCommercial(m, "USD10.0", "20041231", "http://shop", "2", "Seller", "Product");
  zel_marlo_setPsdComment(m, "Short", "d");
  zel_marlo_setPsdArtist(m, "Artist");
  zel_marlo_setPsdAlbum(m, "Album");
  zel_marlo_setPsdGenre(m, "Genre");
  // The longest title that still fits.
  std::string title = "t";
  Bytes best;
  for (;;) {
    zel_marlo_setPsdTitle(m, (title + "t").c_str());
    ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
    if (zel_marlo_getId3PsdMsg(m, &tag) != ZEL_MARLO_SUCCESS) break;
    best.assign(tag->data, tag->data + tag->length);
    zel_marlo_freeId3PsdMsg(tag);
    title += "t";
  }
  zel_marlo_deletePsdMsg(m);
  return best;
}

struct Worst {
  std::string name;
  Bytes tag;
};

std::vector<Worst> worstTags() {
  constexpr size_t kMax = 32768 - 28 - 12;  // the tag of the largest datagram
  const Bytes title = frame3("TIT2", Bytes{0} + text("t"));
  const Bytes inflatesTo16K = Bytes{0} + text("t") + Bytes(16 * 1024 - 2, 0);
  std::vector<Worst> out = {
      {"largest tag written, ISO-8859-1", largestTag(ZEL_MARLO_ID3_ENC_ISO_8859_1)},
      {"largest tag written, UTF-16", largestTag(ZEL_MARLO_ID3_ENC_UTF_16)},
      {"30 MB of zeros compressed (refused)",
       id3(frame3("TIT2", be32(30'000'001) + deflated(Bytes(30'000'001, 0)), 0x0080))},
  };
  // Seven compressed frames, each inflating to the 16 KiB allowed: the most inflation taken.
  Bytes seven;
  for (const char *id : {"TIT2", "TPE1", "TALB", "TCON", "COMM", "COMR", "UFID"})
    seven =
        seven + frame3(id, be32(uint32_t(inflatesTo16K.size())) + deflated(inflatesTo16K), 0x0080);
  out.push_back({"seven frames inflating to 16 KiB each", id3(seven)});
  out.push_back({"largest tag padded to 32 KiB", [&] {
                   Bytes t = largestTag(ZEL_MARLO_ID3_ENC_ISO_8859_1);
                   Bytes body(t.begin() + 10, t.end());
                   body.resize(kMax - 10, 0);
                   return id3(body);
                 }()});
  out.push_back({"title list of 32 KiB of terminators",
                 id3(frame3("TIT2", Bytes{0} + text("t") + Bytes(kMax - 21, 0)))});
  out.push_back({"32 KiB of FF 00, unsynchronised", [&] {
                   Bytes body = text("TIT2") + be32(uint32_t((kMax - 20) / 2 + 1)) + Bytes{0, 0, 0};
                   while (body.size() + 2 <= kMax - 10) body = body + Bytes{0xFF, 0x00};
                   return id3(body, 3, 0x80);
                 }()});
  out.push_back({"3000 frames of 10 bytes", [&] {
                   Bytes body = title;
                   while (body.size() + 11 <= kMax - 10) body = body + frame3("TXXX", Bytes{0});
                   return id3(body);
                 }()});
  out.push_back({"title of 32 KiB (fails validation)",
                 id3(frame3("TIT2", Bytes{0} + Bytes(kMax - 21, 'x')))});
  out.push_back({"32 KiB of noise", noise(kMax)});
  return out;
}

// ---- measuring ----------------------------------------------------------------------------------

struct Stats {
  double maxMicros = 0;
  double maxCpuMicros = 0;
  size_t peakBytes = 0;
};

// CPU time of this thread: unlike the wall clock it does not count the time that other
// processes on a shared machine take.
double cpuMicros() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// The container parser's notes on standard output go to /dev/null while a group runs, so that
// they do not run into the benchmark's table.
struct QuietStdout {
  QuietStdout() {
    std::fflush(stdout);
    saved = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (saved >= 0) {
      ::dup2(saved, STDOUT_FILENO);
      ::close(saved);
    }
  }
  QuietStdout(const QuietStdout &) = delete;
  QuietStdout &operator=(const QuietStdout &) = delete;
  int saved = -1;
};

template <typename Fn>
void measure(benchmark::State &state, const std::vector<Bytes> &inputs, Fn run) {
  Stats stats;
  const QuietStdout quiet;
  for (auto _ : state) {
    for (const Bytes &input : inputs) {
      const size_t before = g_inUse;
      g_peak = before;
      const double cpuStart = cpuMicros();
      const auto start = std::chrono::steady_clock::now();
      run(input);
      const auto end = std::chrono::steady_clock::now();
      stats.maxCpuMicros = std::max(stats.maxCpuMicros, cpuMicros() - cpuStart);
      stats.maxMicros =
          std::max(stats.maxMicros, std::chrono::duration<double, std::micro>(end - start).count());
      stats.peakBytes = std::max(stats.peakBytes, g_peak - before);
    }
  }
  state.counters["inputs"] = double(inputs.size());
  state.counters["max_us"] = stats.maxMicros;
  state.counters["max_cpu_us"] = stats.maxCpuMicros;
  state.counters["peak_KiB"] = double(stats.peakBytes) / 1024.0;
}

std::vector<Bytes> corpus(const std::string &target) {
  std::vector<Bytes> out;
  const std::filesystem::path dir = std::filesystem::path(ZEL_FUZZ_CORPUS) / target;
  if (!std::filesystem::exists(dir)) return out;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (out.back().size() > 32768) out.pop_back();
  }
  return out;
}

void registerAll() {
  // The corpora: ID3 inputs decoded as they are and carried by both packet kinds; packets and
  // containers as datagrams of both kinds (recv_road: the first byte picks the kind).
  for (const char *target : {"id3_decode", "id3_file_load"}) {
    const auto tags = corpus(target);
    benchmark::RegisterBenchmark((std::string("decode/corpus/") + target).c_str(),
                                 [tags](benchmark::State &s) { measure(s, tags, decode); });
    for (ZEL_MARLO_VESK_TYPE_t kind : {ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_VESK_TYPE_CL}) {
      std::vector<Bytes> packets;
      for (const Bytes &t : tags) packets.push_back(packet(t, kind));
      benchmark::RegisterBenchmark(
          (std::string("road/corpus/") + target + "/kind" + std::to_string(kind)).c_str(),
          [packets, kind](benchmark::State &s) {
            measure(s, packets, [kind](const Bytes &p) { road(p, kind); });
          });
    }
  }
  {
    std::vector<Bytes> inputs = corpus("recv_road");
    benchmark::RegisterBenchmark("road/corpus/recv_road", [inputs](benchmark::State &s) {
      measure(s, inputs, [](const Bytes &in) {
        if (in.empty()) return;
        road(Bytes(in.begin() + 1, in.end()),
             in[0] & 1 ? ZEL_MARLO_VESK_TYPE_CL : ZEL_MARLO_VESK_TYPE_AFL_CL);
      });
    });
  }
  for (const char *target :
       {"vesk_unpack_cl", "vesk_unpack_afl", "vesk_unpack_afl_cl", "psdmsg_parse"}) {
    const auto inputs = corpus(target);
    benchmark::RegisterBenchmark((std::string("road/corpus/") + target).c_str(),
                                 [inputs](benchmark::State &s) {
                                   measure(s, inputs, [](const Bytes &p) {
                                     road(p, ZEL_MARLO_VESK_TYPE_AFL_CL);
                                     road(p, ZEL_MARLO_VESK_TYPE_CL);
                                   });
                                 });
  }

  // The worst cases, one by one.
  for (const Worst &w : worstTags()) {
    const std::vector<Bytes> tag = {w.tag};
    benchmark::RegisterBenchmark(("decode/worst/" + w.name).c_str(),
                                 [tag](benchmark::State &s) { measure(s, tag, decode); });
    const std::vector<Bytes> two = {packet(w.tag, ZEL_MARLO_VESK_TYPE_AFL_CL)};
    benchmark::RegisterBenchmark(("road/worst/" + w.name).c_str(), [two](benchmark::State &s) {
      measure(s, two, [](const Bytes &p) { road(p, ZEL_MARLO_VESK_TYPE_AFL_CL); });
    });
  }
  const std::vector<Bytes> noisy = {noise(32768)};
  benchmark::RegisterBenchmark("road/worst/32 KiB of noise as a datagram",
                               [noisy](benchmark::State &s) {
                                 measure(s, noisy, [](const Bytes &p) {
                                   road(p, ZEL_MARLO_VESK_TYPE_AFL_CL);
                                   road(p, ZEL_MARLO_VESK_TYPE_CL);
                                 });
                               });
}

}  // namespace

int main(int argc, char **argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
