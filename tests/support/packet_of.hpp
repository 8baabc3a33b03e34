// SPDX-License-Identifier: GPL-2.0-or-later
// The packet of a prepared message as bytes: the one helper the tests that take a message round
// the road share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "api/zel_marlo.h"
#include "support/api_text.hpp"
#include "support/wire_bytes.hpp"

namespace zel::test {

// The packet sendPsdMsgToBuffer hands out for msg (a PSD message packs the container
// createPsdMsg prepared), as bytes; the send is expected to give expected (empty when no buffer
// comes back).
inline Bytes packetOf(ZEL_MARLO_PSD_MSG_t *msg, ZEL_MARLO_VESK_TYPE_t kind,
                      ZEL_MARLO_MSG_ID_t id = ZEL_MARLO_MSG_ID_PSD,
                      int32_t expected = ZEL_MARLO_SUCCESS) {
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, kind, id), expected)
      << errorText(msg);
  Bytes out;
  if (buffer != nullptr) out.assign(buffer, buffer + length);
  std::free(buffer);
  return out;
}

}  // namespace zel::test
