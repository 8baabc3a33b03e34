// SPDX-License-Identifier: GPL-2.0-or-later
// Test support: one message with a value in every field, through the public API only.
#pragma once

#include <cstdint>

#include "api/zel_marlo.h"

namespace zel::test {

// Identifier bytes that a text round trip would spoil: a zero, the ASCII edge, two high bytes.
inline constexpr uint8_t kEveryFieldIdentifier[] = {0x00, 0x7F, 0x80, 0xFF};

// Sets every field; the comment description carries a line feed, which a full string keeps.
// The group switches are left as they are.
inline void fillEveryField(ZEL_MARLO_PSD_MSG_t *msg) {
  zel_marlo_setPsdTitle(msg, "Title");
  zel_marlo_setPsdArtist(msg, "Artist");
  zel_marlo_setPsdAlbum(msg, "Album");
  zel_marlo_setPsdGenre(msg, "Genre");
  zel_marlo_setPsdComment(msg, "CTitle", "line 1\nline 2");
  zel_marlo_setPsdCommercial(msg, "USD10.0", "20041231", "http://shop", "2", "Seller", "Product");
  zel_marlo_setPsdUfid(msg, "owner", kEveryFieldIdentifier, sizeof kEveryFieldIdentifier);
}

inline void enableEveryGroup(ZEL_MARLO_PSD_MSG_t *msg) {
  zel_marlo_enablePsdCore(msg, 1);
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_enablePsdUfid(msg, 1);
}

}  // namespace zel::test
