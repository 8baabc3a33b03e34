// SPDX-License-Identifier: GPL-2.0-or-later
// The message the benchmarks work on: the transmit tool's default message with all four
// groups enabled (a 330-byte tag, 7 frames; a 370-byte packet).
#pragma once

#include <cstdint>

#include "api/zel_marlo.h"

namespace zel::bench {

inline void fillDefaultMessage(ZEL_MARLO_PSD_MSG_t *msg) {
  static const uint8_t kIdentifier[] = {0x70, 0x75, 0x20, 0x74, 0x61, 0x68, 0x77, 0x20, 0x2c, 0x64,
                                        0x6c, 0x72, 0x6f, 0x57, 0x20, 0x6f, 0x6c, 0x6c, 0x65, 0x48};
  zel_marlo_enablePsdCore(msg, 1);
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_enablePsdUfid(msg, 1);
  zel_marlo_setPsdTitle(msg, "title/topic/announcement");
  zel_marlo_setPsdArtist(msg, "artist/host/sponsor");
  zel_marlo_setPsdAlbum(msg, "album/show name/sponsor name");
  zel_marlo_setPsdGenre(msg, "Jazz");
  zel_marlo_setPsdComment(msg, "one-line comment title", "comment description text");
  zel_marlo_setPsdCommercial(msg, "USD10.0", "20041231", "http://www.example.com", "0",
                             "seller's name", "product description text");
  zel_marlo_setPsdUfid(msg, "UFID Owner ID !!!!", kIdentifier, sizeof kIdentifier);
}

}  // namespace zel::bench
