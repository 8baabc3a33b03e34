// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding, encoding and decoding again is a fixed point. Any bytes as an ID3 tag, decoded with
// every group on; a tag the library takes must encode again (in the text encoding it kept), that
// encoding must be taken, decode to the same values and the same text encoding, and encode to
// the same bytes once more (so every later round is the same as well). Values compare as the
// writer carries them: line feeds as blanks in every field but the comment text, and an owner id
// cut where it leaves the identifier less than their 192 bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/zel_marlo.h"
#include "api_values.hpp"

namespace {

using zel::fuzz::fail;
using zel::fuzz::kAbsent;
using zel::fuzz::read;
using zel::fuzz::report;

ZEL_MARLO_PSD_MSG_t *newHandle() {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) std::abort();
  return msg;
}

void allGroups(ZEL_MARLO_PSD_MSG_t *msg) {
  zel_marlo_enablePsdCore(msg, 1);
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_enablePsdUfid(msg, 1);
}

std::string identifier(ZEL_MARLO_PSD_MSG_t *msg) {
  uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg);
  std::string out(reinterpret_cast<const char *>(id),
                  id ? zel_marlo_getPsdUfidIdentifierSize(msg) : 0);
  std::free(id);
  return out;
}

int32_t encodingOf(ZEL_MARLO_PSD_MSG_t *msg) {
  int32_t e = -1;
  zel_marlo_getId3TextEncoding(msg, &e);
  return e;
}

std::string tagOf(ZEL_MARLO_PSD_MSG_t *msg) {
  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  if (zel_marlo_getId3PsdMsg(msg, &tag) != ZEL_MARLO_SUCCESS)
    fail("a taken tag encodes", "", report(msg));
  std::string bytes(reinterpret_cast<const char *>(tag->data), tag->length);
  zel_marlo_freeId3PsdMsg(tag);
  return bytes;
}

void take(ZEL_MARLO_PSD_MSG_t *msg, const std::string &tag) {
  const ZEL_MARLO_ID3_PSD_MSG_t record{static_cast<uint32_t>(tag.size()),
                                       reinterpret_cast<uint8_t *>(const_cast<char *>(tag.data()))};
  zel_marlo_clearPsdMsg(msg);
  allGroups(msg);
  if (zel_marlo_setId3PsdMsg(msg, &record) != ZEL_MARLO_SUCCESS)
    fail("its encoding is taken", "", report(msg));
}

// Line feeds of the fields the writer writes without them. (An ID3v1 tag's texts may hold line
// feeds where a v2 tag's are read as blanks; the first encoding makes them blanks.)
std::string blanked(std::string s) {
  for (char &c : s)
    if (c == '\n') c = ' ';
  return s;
}

void compare(ZEL_MARLO_PSD_MSG_t *first, ZEL_MARLO_PSD_MSG_t *again) {
  using Reader = char *(*)(ZEL_MARLO_PSD_MSG_t *);
  const Reader blankedReaders[] = {zel_marlo_getPsdTitle,
                                   zel_marlo_getPsdArtist,
                                   zel_marlo_getPsdAlbum,
                                   zel_marlo_getPsdGenre,
                                   zel_marlo_getPsdCommentTitle,
                                   zel_marlo_getPsdCommercialPrice,
                                   zel_marlo_getPsdCommentContactUrl,
                                   zel_marlo_getPsdCommentSellerName,
                                   zel_marlo_getPsdCommentProductDesc};
  for (Reader r : blankedReaders) {
    const std::string a = blanked(read(r(first))), b = read(r(again));
    if (a != b) fail("value", a, b);
  }
  const Reader exactReaders[] = {zel_marlo_getPsdCommentDesc, zel_marlo_getPsdCommentValidUntil,
                                 zel_marlo_getPsdCommentRecvAs};
  for (Reader r : exactReaders) {
    const std::string a = read(r(first)), b = read(r(again));
    if (a != b) fail("value", a, b);
  }
  // The encoding kept is that of the first frame with a text encoding; a frame of the input
  // that gives no value is not written again, so with no text value at all it is 0 again.
  bool textValue = false;
  for (Reader r : blankedReaders) textValue = textValue || read(r(again)) != kAbsent;
  for (Reader r : exactReaders) textValue = textValue || read(r(again)) != kAbsent;
  const int32_t expected = textValue ? encodingOf(first) : ZEL_MARLO_ID3_ENC_ISO_8859_1;
  if (encodingOf(again) != expected)
    fail("text encoding", std::to_string(expected), std::to_string(encodingOf(again)));

  // A UFID frame is written for an owner id with an identifier; the owner id gives way.
  const std::string owner = read(zel_marlo_getPsdUfidOwnerId(first));
  const std::string id = identifier(first);
  const bool written = owner != kAbsent && !id.empty();
  const std::string ownerAgain = read(zel_marlo_getPsdUfidOwnerId(again));
  const std::string ownerWritten =
      written ? blanked(owner.substr(0, std::min<size_t>(owner.size(), 192 - id.size()))) : kAbsent;
  if (ownerAgain != ownerWritten) fail("owner id", ownerWritten, ownerAgain);
  const std::string idAgain = identifier(again);
  if (idAgain != (written ? id : std::string())) fail("identifier", id, idAgain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static ZEL_MARLO_PSD_MSG_t *first = newHandle();
  static ZEL_MARLO_PSD_MSG_t *again = newHandle();

  zel_marlo_clearPsdMsg(first);
  allGroups(first);
  const ZEL_MARLO_ID3_PSD_MSG_t input{static_cast<uint32_t>(size), const_cast<uint8_t *>(data)};
  if (zel_marlo_setId3PsdMsg(first, &input) != ZEL_MARLO_SUCCESS) return 0;

  const std::string tag = tagOf(first);
  if (tag.empty()) return 0;
  take(again, tag);
  compare(first, again);
  const std::string tagAgain = tagOf(again);
  if (tagAgain != tag) fail("the tag", std::to_string(tag.size()), std::to_string(tagAgain.size()));
  return 0;
}
