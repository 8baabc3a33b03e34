// SPDX-License-Identifier: GPL-2.0-or-later
// zel_vesk_unpack with a handle for CL packets; see vesk_unpack.hpp.
#include "vesk_unpack.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  return zel::fuzz::unpackOne<veskClDesc>(VESK_TYPE_CL, data, size);
}
