// SPDX-License-Identifier: GPL-2.0-or-later
// The packet of a prepared message as bytes: the one helper the tests that take a message round
// the road share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "api/zel_marlo.h"
#include "support/wire_bytes.hpp"

namespace zel::test {

// The packet sendPsdMsgToBuffer hands out for the container msg holds (createPsdMsg), as bytes;
// the send is expected to succeed (empty when it fails).
inline Bytes packetOf(ZEL_MARLO_PSD_MSG_t *msg, ZEL_MARLO_VESK_TYPE_t kind) {
  uint8_t *packet = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(msg, &packet, &length, kind, ZEL_MARLO_MSG_ID_PSD),
            ZEL_MARLO_SUCCESS);
  Bytes out(packet, packet + length);
  std::free(packet);
  return out;
}

}  // namespace zel::test
