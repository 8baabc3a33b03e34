// SPDX-License-Identifier: GPL-2.0-or-later
// What the instruction-count drivers share: every heap allocation of the process counted, and
// batches of runs measured under callgrind, each dumped apart (client requests) with the name
// that bench/icount.py reads. Include it in one source file per program: it defines malloc.
#pragma once

#include <valgrind/callgrind.h>

#include <cstddef>
#include <cstdio>

// Every allocation of the process goes through these (libstdc++ and libid3tag included).
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {
bool counting = false;
unsigned long allocations = 0;
}  // namespace

extern "C" void *malloc(size_t n) noexcept {
  if (counting) ++allocations;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) noexcept {
  if (counting) ++allocations;
  return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) noexcept {
  if (counting) ++allocations;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) noexcept { __libc_free(p); }

namespace {

// Measures body() over n runs: instructions through callgrind, allocations here.
template <typename Body>
void measure(const char *name, int n, Body body) {
  allocations = 0;
  counting = true;
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < n; ++i) body();
  CALLGRIND_TOGGLE_COLLECT;
  counting = false;
  CALLGRIND_DUMP_STATS_AT(name);
  std::printf("%s runs=%d allocations=%lu\n", name, n, allocations);
}

// Code that must not be counted (setting up the next run) runs with collection off.
template <typename Setup>
void uncounted(Setup setup) {
  const bool was = counting;
  counting = false;
  CALLGRIND_TOGGLE_COLLECT;
  setup();
  CALLGRIND_TOGGLE_COLLECT;
  counting = was;
}

}  // namespace
