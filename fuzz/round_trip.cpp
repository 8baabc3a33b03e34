// SPDX-License-Identifier: GPL-2.0-or-later
// What the sender sends, the receiver takes back unchanged. Arbitrary texts go into every
// setter, with arbitrary group switches, text encoding and content id; the message is created,
// sent to a buffer as either packet kind, received from it and parsed. Either the sender refuses
// it with a validation error (E_FORMAT and a report), or the receiver takes it, in the same text
// encoding, and every field comes back as the writer promises to carry it:
//  - texts in encoding 0 as their bytes; in 1-3 as UTF-8 with each ill-formed sequence (its
//    longest valid prefix) one U+FFFD;
//  - line feeds as blanks in every field but the comment text;
//  - valid until as its first 8 bytes, received as in decimal, the owner id cut to leave room
//    for the identifier (192 bytes for both);
//  - values of groups that are off, or that write no frame, absent.
// Only the public API is used.
//
// Input: 5 bytes of set-up, then the values separated by zero bytes (the identifier, last, may
// hold zeros):
//   [0] switches: 2 bits per group (core, comment, commercial, UFID), 0 -> 0, 1 and 2 -> 1, 3 -> 2
//   [1] bits 0-2 the text encoding asked for (4-7 are refused and leave 0); bit 3 the packet
//       kind (set: CL only); bit 4 the content id repeated in the high 16 bits
//   [2..3] which of the 14 values are given (bit set: the text, bit clear: NULL)
//   [4] content id, low byte; its high byte is the next byte (also the first of the values)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/zel_marlo.h"
#include "api_values.hpp"

namespace {

using zel::fuzz::fail;
using zel::fuzz::kAbsent;
using zel::fuzz::read;
using zel::fuzz::report;

constexpr size_t kValues = 14;
enum {
  kTitle,
  kArtist,
  kAlbum,
  kGenre,
  kCommentTitle,
  kCommentDesc,
  kPrice,
  kValidUntil,
  kContactUrl,
  kRecvAs,
  kSellerName,
  kProductDesc,
  kOwner,
  kIdentifier
};

struct Value {
  bool given = false;
  std::string text;  // a NULL or empty text makes the field absent
  bool present() const { return given && !text.empty(); }
};

void putUtf8(std::string &out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Well-formed UTF-8 of s: each maximal ill-formed subpart becomes U+FFFD (Unicode's
// recommended practice; table 3-7 of the standard gives the well-formed byte ranges).
std::string wellFormed(const std::string &s) {
  std::string out;
  const auto *p = reinterpret_cast<const uint8_t *>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const uint8_t b = p[i];
    size_t need = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t c = 0;
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      need = 1, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2, c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3, c = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      putUtf8(out, 0xFFFD);
      ++i;
      continue;
    }
    size_t j = i + 1;
    size_t got = 0;
    for (; got < need && j < n && p[j] >= lo && p[j] <= hi; ++got, ++j) {
      c = c << 6 | (p[j] & 0x3F);
      lo = 0x80, hi = 0xBF;
    }
    putUtf8(out, got == need ? c : 0xFFFD);
    i = j;
  }
  return out;
}

std::string blanked(std::string s) {
  for (char &c : s)
    if (c == '\n') c = ' ';
  return s;
}

// What a text in the frame's encoding comes back as.
std::string carried(const std::string &s, int32_t encoding, bool keepLineFeeds) {
  std::string t = encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 ? s : wellFormed(s);
  return keepLineFeeds ? t : blanked(t);
}

void expectText(const char *what, char *got, bool written, const std::string &expected) {
  const std::string value = read(got);
  const std::string want = written && !expected.empty() ? expected : kAbsent;
  if (value != want) fail(what, want, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  static ZEL_MARLO_PSD_MSG_t *tx = [] {
    ZEL_MARLO_PSD_MSG_t *m = nullptr;
    if (zel_marlo_allocPsdMsg(&m) != ZEL_MARLO_SUCCESS) std::abort();
    return m;
  }();
  static ZEL_MARLO_PSD_MSG_t *rx = [] {
    ZEL_MARLO_PSD_MSG_t *m = nullptr;
    if (zel_marlo_allocPsdMsg(&m) != ZEL_MARLO_SUCCESS) std::abort();
    return m;
  }();

  const uint8_t switchBits = data[0];
  uint8_t switches[4];
  for (int g = 0; g < 4; ++g) {
    const int v = switchBits >> (2 * g) & 3;
    switches[g] = static_cast<uint8_t>(v == 3 ? 2 : v == 0 ? 0 : 1);
  }
  const int32_t askedEncoding = data[1] & 7;
  const ZEL_MARLO_VESK_TYPE_t kind =
      data[1] & 8 ? ZEL_MARLO_VESK_TYPE_CL : ZEL_MARLO_VESK_TYPE_AFL_CL;
  const unsigned givenBits = data[2] | data[3] << 8;
  // Bit 4 of [1] repeats the id in the high 16 bits, which do not travel.
  const uint32_t low = data[4] | (size > 5 ? data[5] << 8 : 0);
  const auto contentId = static_cast<int32_t>(data[1] & 0x10 ? low * 65537u : low);

  Value v[kValues];
  size_t at = 5;
  for (size_t i = 0; i < kValues; ++i) {
    v[i].given = (givenBits >> i & 1) != 0;
    if (at > size) continue;
    size_t end = at;
    if (i + 1 < kValues)
      while (end < size && data[end] != 0) ++end;
    else
      end = size;
    v[i].text.assign(reinterpret_cast<const char *>(data + at), end - at);
    at = end + 1;
  }
  const auto text = [&](size_t i) { return v[i].given ? v[i].text.c_str() : nullptr; };

  // The sender.
  zel_marlo_clearPsdMsg(tx);
  zel_marlo_enablePsdCore(tx, switches[0]);
  zel_marlo_enablePsdComment(tx, switches[1]);
  zel_marlo_enablePsdCommercial(tx, switches[2]);
  zel_marlo_enablePsdUfid(tx, switches[3]);
  zel_marlo_setId3TextEncoding(tx, askedEncoding);
  zel_marlo_setPsdTitle(tx, text(kTitle));
  zel_marlo_setPsdArtist(tx, text(kArtist));
  zel_marlo_setPsdAlbum(tx, text(kAlbum));
  zel_marlo_setPsdGenre(tx, text(kGenre));
  zel_marlo_setPsdComment(tx, text(kCommentTitle), text(kCommentDesc));
  zel_marlo_setPsdCommercial(tx, text(kPrice), text(kValidUntil), text(kContactUrl), text(kRecvAs),
                             text(kSellerName), text(kProductDesc));
  const std::string &id = v[kIdentifier].text;
  zel_marlo_setPsdUfid(tx, text(kOwner), reinterpret_cast<const uint8_t *>(id.data()),
                       v[kIdentifier].given ? static_cast<uint32_t>(id.size()) : 0);

  // What the sender holds now (the setters have their own rules: empty texts and long owners).
  int32_t encoding = -1;
  zel_marlo_getId3TextEncoding(tx, &encoding);
  const std::string owner = read(zel_marlo_getPsdUfidOwnerId(tx));
  const uint32_t idSize = zel_marlo_getPsdUfidIdentifierSize(tx);
  std::string held[kValues - 2];
  char *(*const readers[kValues - 2])(ZEL_MARLO_PSD_MSG_t *) = {zel_marlo_getPsdTitle,
                                                                zel_marlo_getPsdArtist,
                                                                zel_marlo_getPsdAlbum,
                                                                zel_marlo_getPsdGenre,
                                                                zel_marlo_getPsdCommentTitle,
                                                                zel_marlo_getPsdCommentDesc,
                                                                zel_marlo_getPsdCommercialPrice,
                                                                zel_marlo_getPsdCommentValidUntil,
                                                                zel_marlo_getPsdCommentContactUrl,
                                                                zel_marlo_getPsdCommentRecvAs,
                                                                zel_marlo_getPsdCommentSellerName,
                                                                zel_marlo_getPsdCommentProductDesc};
  for (size_t i = 0; i < kValues - 2; ++i) held[i] = read(readers[i](tx));
  const auto has = [&](size_t i) { return held[i] != kAbsent; };

  // Which frames the sender writes.
  const bool core = switches[0] == 1, comment = switches[1] == 1, commercial = switches[2] == 1;
  const bool wroteComment = comment && (has(kCommentTitle) || has(kCommentDesc));
  const bool wroteCommercial =
      commercial && (has(kPrice) || has(kValidUntil) || has(kContactUrl) || has(kRecvAs) ||
                     has(kSellerName) || has(kProductDesc));
  const bool wroteUfid = switches[3] == 1 && owner != kAbsent && idSize > 0;
  bool textFrame = wroteComment || wroteCommercial;
  for (size_t i : {kTitle, kArtist, kAlbum, kGenre}) textFrame = textFrame || (core && has(i));

  const bool anyFrame = textFrame || wroteUfid;

  if (zel_marlo_createPsdMsg(tx, contentId) != ZEL_MARLO_SUCCESS) {
    // Refused cleanly: a validation error (the rules or the tag length), or a message without
    // any frame to send; nothing else.
    const int32_t error = zel_marlo_getErrorNum(tx);
    if (report(tx).empty() || !(error == E_FORMAT || (error == E_SEND && !anyFrame)))
      fail("a refusal is a validation error", "E_FORMAT", report(tx));
    return 0;
  }
  if (!anyFrame) fail("a message without frames is refused", "E_SEND", "created");
  uint8_t *packet = nullptr;
  uint32_t length = 0;
  if (zel_marlo_sendPsdMsgToBuffer(tx, &packet, &length, kind, ZEL_MARLO_MSG_ID_PSD) !=
      ZEL_MARLO_SUCCESS)
    fail("a created message packs", "", report(tx));

  // The receiver, as marlorx: every group on.
  zel_marlo_clearPsdMsg(rx);
  zel_marlo_enablePsdCore(rx, 1);
  zel_marlo_enablePsdComment(rx, 1);
  zel_marlo_enablePsdCommercial(rx, 1);
  zel_marlo_enablePsdUfid(rx, 1);
  ZEL_MARLO_MSG_ID_t msgId = -1;
  if (zel_marlo_recvPsdMsgFromBuffer(rx, packet, length, kind, &msgId) != ZEL_MARLO_SUCCESS ||
      msgId != ZEL_MARLO_MSG_ID_PSD)
    fail("the packet is received", "", report(rx));
  std::free(packet);
  uint16_t contentIdBack = 0;
  if (zel_marlo_parsePsdMsg(rx, &contentIdBack) != ZEL_MARLO_SUCCESS)
    fail("the message is taken back", "", report(rx));
  if (contentIdBack != static_cast<uint16_t>(contentId))
    fail("content id", std::to_string(contentId & 0xFFFF), std::to_string(contentIdBack));

  int32_t encodingBack = -1;
  zel_marlo_getId3TextEncoding(rx, &encodingBack);
  const int32_t expectedEncoding = textFrame ? encoding : ZEL_MARLO_ID3_ENC_ISO_8859_1;
  if (encodingBack != expectedEncoding)
    fail("text encoding", std::to_string(expectedEncoding), std::to_string(encodingBack));

  const auto textOf = [&](size_t i, bool keepLineFeeds) {
    return has(i) ? carried(held[i], encoding, keepLineFeeds) : std::string();
  };
  const auto latin1Of = [&](size_t i) { return has(i) ? blanked(held[i]) : std::string(); };
  expectText("title", zel_marlo_getPsdTitle(rx), core, textOf(kTitle, false));
  expectText("artist", zel_marlo_getPsdArtist(rx), core, textOf(kArtist, false));
  expectText("album", zel_marlo_getPsdAlbum(rx), core, textOf(kAlbum, false));
  expectText("genre", zel_marlo_getPsdGenre(rx), core, textOf(kGenre, false));
  expectText("comment title", zel_marlo_getPsdCommentTitle(rx), wroteComment,
             textOf(kCommentTitle, false));
  expectText("comment text", zel_marlo_getPsdCommentDesc(rx), wroteComment,
             textOf(kCommentDesc, true));
  expectText("price", zel_marlo_getPsdCommercialPrice(rx), wroteCommercial, latin1Of(kPrice));
  expectText("contact URL", zel_marlo_getPsdCommentContactUrl(rx), wroteCommercial,
             latin1Of(kContactUrl));
  expectText("seller", zel_marlo_getPsdCommentSellerName(rx), wroteCommercial,
             textOf(kSellerName, false));
  expectText("product", zel_marlo_getPsdCommentProductDesc(rx), wroteCommercial,
             textOf(kProductDesc, false));
  // Valid until and received as are in every commercial frame (validation wants all six).
  const std::string date = read(zel_marlo_getPsdCommentValidUntil(rx));
  const std::string recvAs = read(zel_marlo_getPsdCommentRecvAs(rx));
  if (wroteCommercial) {
    if (date != held[kValidUntil].substr(0, 8)) fail("valid until", held[kValidUntil], date);
    const std::string code =
        std::to_string(static_cast<int8_t>(std::strtol(held[kRecvAs].c_str(), nullptr, 10)));
    if (recvAs != code) fail("received as", code, recvAs);
  } else if (date != kAbsent || recvAs != kAbsent) {
    fail("no commercial frame", kAbsent, date + " / " + recvAs);
  }

  // The owner id gives way to the identifier: both share 192 bytes.
  const std::string ownerBack = read(zel_marlo_getPsdUfidOwnerId(rx));
  const std::string ownerSent =
      wroteUfid ? blanked(owner.substr(0, std::min<size_t>(owner.size(), 192 - idSize))) : kAbsent;
  if (ownerBack != ownerSent) fail("owner id", ownerSent, ownerBack);
  uint8_t *idBack = zel_marlo_getPsdUfidIdentifier(rx);
  const uint32_t idBackSize = zel_marlo_getPsdUfidIdentifierSize(rx);
  const std::string idBackText(reinterpret_cast<const char *>(idBack), idBack ? idBackSize : 0);
  std::free(idBack);
  const std::string idSent = wroteUfid ? id.substr(0, idSize) : std::string();
  if (idBackText != idSent || (wroteUfid && idBackSize != idSize))
    fail("identifier", std::to_string(idSent.size()), std::to_string(idBackText.size()));
  return 0;
}
