// SPDX-License-Identifier: GPL-2.0-or-later
// The ID3 facts the writer, the codec and the guard share: header sizes, the syncsafe size
// form, and the one table of the frames a PSD message travels in.
//
// Adding a frame kind means adding a row to kFrames (and, for a field of a new kind, teaching
// the codec that kind): the encoder writes the rows, the decoder reads them back, and the guard
// lets exactly these frames through to the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

#include "api/record/psd_message.hpp"

namespace zel::id3 {

constexpr size_t kHeaderLength = 10;           // "ID3", version, revision, flags, syncsafe size
constexpr size_t kFrameHeaderLength = 10;      // id, plain 32-bit size, flags
constexpr size_t kFooterLength = 10;           // v2.4 only: "3DI" and the header's other fields
constexpr uint32_t kMaxSyncsafe = 0x0FFFFFFF;  // 28 bits

// Seven bits in each of four bytes, the top bits zero.
constexpr uint32_t toSyncsafe(uint32_t v) {
  return (v & 0x7F) | (v >> 7 & 0x7F) << 8 | (v >> 14 & 0x7F) << 16 | (v >> 21 & 0x7F) << 24;
}

// Seven bits from each of four bytes, the top bits ignored (as libid3tag reads them).
constexpr uint32_t fromSyncsafe(uint32_t raw) {
  return (raw & 0x7F) | (raw >> 8 & 0x7F) << 7 | (raw >> 16 & 0x7F) << 14 |
         (raw >> 24 & 0x7F) << 21;
}

// How a frame field is written and read, and the record member it carries.
enum class FieldKind : uint8_t {
  stringList,  // text in the frame's encoding, the first string read; line feeds become blanks
  string,      // one string in the frame's encoding; line feeds become blanks
  fullString,  // one string in the frame's encoding; line feeds kept
  latin1,      // ISO-8859-1 bytes as they are; line feeds become blanks
  date,        // exactly eight bytes, YYYYMMDD
  int8,        // a decimal code as one byte
  language,    // three ASCII letters, always "eng"
  identifier,  // the UFID identifier bytes (PsdContent::ufidIdentifier)
};

struct FieldMap {
  unsigned index;  // position in libid3tag's frame, the text-encoding field being 0
  FieldKind kind;
  Text PsdContent::*member;  // null for language and identifier
};

// When a frame of an enabled group is written.
enum class Presence : uint8_t {
  valueSet,    // its one value is set
  anyPresent,  // any of its values is present, even empty
  ufid,        // owner id and identifier both given
};

// The fields libid3tag's frame has after those the record fills: always written empty.
struct EmptyTail {
  uint8_t fields;  // how many (the record's last field is terminated when there are any)
  uint8_t length;  // the bytes they lay down, terminators included
};

struct FrameKind {
  const char *id;     // v2.3 and v2.4
  const char *idV22;  // v2.2; null when v2.2 has no such frame
  uint8_t PsdContent::*group;
  Presence presence;
  bool textFrame;  // a text frame: only its first string is read
  std::span<const FieldMap> fields;
  EmptyTail emptyTail;
};

namespace detail {
inline constexpr FieldMap kTitle[] = {{1, FieldKind::stringList, &PsdContent::title}};
inline constexpr FieldMap kArtist[] = {{1, FieldKind::stringList, &PsdContent::artist}};
inline constexpr FieldMap kAlbum[] = {{1, FieldKind::stringList, &PsdContent::album}};
inline constexpr FieldMap kGenre[] = {{1, FieldKind::stringList, &PsdContent::genre}};
inline constexpr FieldMap kComment[] = {{1, FieldKind::language, nullptr},
                                        {2, FieldKind::string, &PsdContent::commentTitle},
                                        {3, FieldKind::fullString, &PsdContent::commentDesc}};
inline constexpr FieldMap kCommercial[] = {{1, FieldKind::latin1, &PsdContent::price},
                                           {2, FieldKind::date, &PsdContent::validUntil},
                                           {3, FieldKind::latin1, &PsdContent::contactUrl},
                                           {4, FieldKind::int8, &PsdContent::recvAs},
                                           {5, FieldKind::string, &PsdContent::sellerName},
                                           {6, FieldKind::string, &PsdContent::productDesc}};
inline constexpr FieldMap kUfid[] = {{0, FieldKind::latin1, &PsdContent::ufidOwnerId},
                                     {1, FieldKind::identifier, nullptr}};
}  // namespace detail

// In the order the frames are written. COMR's empty tail: the picture MIME type (an empty
// ISO-8859-1 string, its terminator one byte) and the seller logo (no bytes).
inline constexpr FrameKind kFrames[] = {
    {"TIT2", "TT2", &PsdContent::coreEnabled, Presence::valueSet, true, detail::kTitle, {}},
    {"TPE1", "TP1", &PsdContent::coreEnabled, Presence::valueSet, true, detail::kArtist, {}},
    {"TALB", "TAL", &PsdContent::coreEnabled, Presence::valueSet, true, detail::kAlbum, {}},
    {"TCON", "TCO", &PsdContent::coreEnabled, Presence::valueSet, true, detail::kGenre, {}},
    {"COMM", "COM", &PsdContent::commentEnabled, Presence::anyPresent, false, detail::kComment, {}},
    {"COMR",
     nullptr,
     &PsdContent::commercialEnabled,
     Presence::anyPresent,
     false,
     detail::kCommercial,
     {2, 1}},
    {"UFID", "UFI", &PsdContent::ufidEnabled, Presence::ufid, false, detail::kUfid, {}},
};
inline constexpr size_t kFrameKinds = std::size(kFrames);

// ID3v2.3 reads a TCON text that begins with "(" as a genre reference ("(12)Talk" as genre 12);
// a genre that begins with "(" is therefore written with "((" in its place.
constexpr bool escapesLeadingParen(const FieldMap &map) { return map.member == &PsdContent::genre; }

// Owner id and identifier of a UFID frame share this many bytes; the owner id gives way.
constexpr size_t kUfidLimit = 192;

}  // namespace zel::id3
