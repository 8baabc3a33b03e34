// SPDX-License-Identifier: GPL-2.0-or-later
// Owning pointers for blocks from the C heap: what the library hands to its callers is
// released with free(), so it is allocated with malloc() and held by these until handed over.
#pragma once

#include <cstdlib>
#include <memory>

namespace zel {

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

template <typename T>
using HeapPtr = std::unique_ptr<T, FreeDeleter>;

// n objects of T from malloc (at least one byte, so that an empty block is still a block).
template <typename T>
HeapPtr<T> heapAlloc(size_t n) {
  return HeapPtr<T>(static_cast<T *>(std::malloc(n > 0 ? n * sizeof(T) : 1)));
}

}  // namespace zel
