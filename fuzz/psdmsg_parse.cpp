// SPDX-License-Identifier: GPL-2.0-or-later
// psdmsg_parse on arbitrary bytes: a payload it hands out must lie inside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "psdmsg/psdmsg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *payload = nullptr;
  uint8_t reserved, type, format, options;
  uint16_t param, contentId;
  uint32_t payloadLength;
  const int32_t rc = psdmsg_parse(data, static_cast<uint32_t>(size), &payload, &reserved, &type,
                                  &format, &options, &param, &contentId, &payloadLength);
  if (rc == 1) {
    if (payload == nullptr || payload < data || payload > data + size ||
        payloadLength > static_cast<size_t>(data + size - payload))
      std::abort();
  } else if (rc != 2 || payload != nullptr) {
    std::abort();
  }
  return 0;
}
