// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as an ID3 tag to decode. Besides not crashing, leaking or reading outside the input:
// a tag that is taken must encode again, and its encoding must decode to the same values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/zel_marlo.h"

namespace {

ZEL_MARLO_PSD_MSG_t *newHandle() {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) std::abort();
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_enablePsdUfid(msg, 1);
  return msg;
}

std::string text(char *owned) {
  if (owned == nullptr) return "<null>";
  std::string s(owned);
  std::free(owned);
  return s;
}

std::string report(ZEL_MARLO_PSD_MSG_t *msg) {
  const char *r = zel_marlo_getErrorStr(msg);
  return r != nullptr ? r : "";
}

// Line feeds of fields that are written without them.
std::string blanked(std::string s) {
  for (char &c : s)
    if (c == '\n') c = ' ';
  return s;
}

void fail(const char *what, const std::string &first, const std::string &again) {
  std::fprintf(stderr, "%s: '%s' became '%s'\n", what, first.c_str(), again.c_str());
  std::abort();
}

// Values that must survive an encoding and decoding. (The genre is left out: libid3tag reads an
// ID3v2.3 genre that starts with '(' as the old numeric syntax.)
void compare(ZEL_MARLO_PSD_MSG_t *first, ZEL_MARLO_PSD_MSG_t *again) {
  using Reader = char *(*)(ZEL_MARLO_PSD_MSG_t *);
  const Reader blankedReaders[] = {zel_marlo_getPsdTitle, zel_marlo_getPsdArtist,
                                   zel_marlo_getPsdAlbum, zel_marlo_getPsdCommentTitle};
  for (Reader r : blankedReaders) {
    const std::string a = blanked(text(r(first))), b = text(r(again));
    if (a != b) fail("text", a, b);
  }
  const Reader exactReaders[] = {
      zel_marlo_getPsdCommentDesc,       zel_marlo_getPsdCommercialPrice,
      zel_marlo_getPsdCommentValidUntil, zel_marlo_getPsdCommentContactUrl,
      zel_marlo_getPsdCommentRecvAs,     zel_marlo_getPsdCommentSellerName,
      zel_marlo_getPsdCommentProductDesc};
  for (Reader r : exactReaders) {
    const std::string a = text(r(first)), b = text(r(again));
    if (a != b) fail("value", a, b);
  }
  // The identifier travels with a non-empty owner id that fits beside it.
  const std::string owner = text(zel_marlo_getPsdUfidOwnerId(first));
  const uint32_t n = zel_marlo_getPsdUfidIdentifierSize(first);
  if (owner != "<null>" && n > 0 && owner.size() + n <= 192) {
    if (owner != text(zel_marlo_getPsdUfidOwnerId(again))) fail("owner", owner, "?");
    if (zel_marlo_getPsdUfidIdentifierSize(again) != n) fail("identifier", "", "");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static ZEL_MARLO_PSD_MSG_t *msg = newHandle();
  static ZEL_MARLO_PSD_MSG_t *again = newHandle();

  const ZEL_MARLO_ID3_PSD_MSG_t input{static_cast<uint32_t>(size), const_cast<uint8_t *>(data)};
  if (zel_marlo_setId3PsdMsg(msg, &input) != ZEL_MARLO_SUCCESS) return 0;

  ZEL_MARLO_ID3_PSD_MSG_t *encoded = nullptr;
  if (zel_marlo_getId3PsdMsg(msg, &encoded) != ZEL_MARLO_SUCCESS) fail("encoding", "", report(msg));
  if (encoded->length > 0) {
    if (zel_marlo_setId3PsdMsg(again, encoded) != ZEL_MARLO_SUCCESS)
      fail("decoding", "", report(again));
    compare(msg, again);
  }
  zel_marlo_freeId3PsdMsg(encoded);
  return 0;
}
