// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding: the guard's plain tag, libid3tag's parse, the first frame of each kind of kFrames.
#include "api/id3/decode.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "api/id3/encode.hpp"
#include "api/id3/format.hpp"
#include "api/id3/guard.hpp"
#include "api/id3/raii.hpp"
#include "api/id3/text.hpp"
#include "api/id3/writer.hpp"
#include "api/zel_marlo.h"

namespace zel::id3 {

namespace {

int frameEncoding(const id3_frame *frame) {
  if (frame == nullptr) return -1;
  const id3_field *field = id3_frame_field(frame, 0);
  if (field == nullptr || id3_field_type(field) != ID3_FIELD_TYPE_TEXTENCODING) return -1;
  return static_cast<int>(id3_field_gettextencoding(field));
}

// The first string of a text field (its whole text for a single string) as ISO-8859-1 bytes for
// encoding 0, as UTF-8 otherwise; ISO-8859-1 fields as their bytes. Absent when it has no
// characters. The same bytes the writer lays the field down as, up to its first terminator.
Text decodedText(const id3_field *field, int encoding) {
  if (field == nullptr) return std::nullopt;
  const id3_ucs4_t *chars = nullptr;
  const id3_latin1_t *bytes = nullptr;
  switch (id3_field_type(field)) {
    case ID3_FIELD_TYPE_STRING:
      chars = id3_field_getstring(field);
      break;
    case ID3_FIELD_TYPE_STRINGFULL:
      chars = id3_field_getfullstring(field);
      break;
    case ID3_FIELD_TYPE_STRINGLIST:
      if (id3_field_getnstrings(field) > 0) chars = id3_field_getstrings(field, 0);
      break;
    case ID3_FIELD_TYPE_LATIN1:
      bytes = id3_field_getlatin1(field);
      break;
    case ID3_FIELD_TYPE_LATIN1FULL:
      bytes = id3_field_getfulllatin1(field);
      break;
    case ID3_FIELD_TYPE_LATIN1LIST:
      if (field->latin1list.nstrings > 0) bytes = field->latin1list.strings[0];
      break;
    default: {
      // Not a text field where one was expected: what the writer makes of it.
      std::optional<std::string> text = renderFieldText(field, encoding);
      if (!text) return std::nullopt;
      text->resize(std::strlen(text->c_str()));
      if (text->empty()) return std::nullopt;
      return text;
    }
  }
  std::string text;
  if (bytes != nullptr)
    text.assign(reinterpret_cast<const char *>(bytes));
  else if (chars != nullptr)
    text = encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 ? ucs4ToLatin1(chars) : ucs4ToUtf8(chars);
  if (text.empty()) return std::nullopt;
  return text;
}

// The frames read, the first of each kind of kFrames, found in one pass over the tag; and the
// encoding of the first of them, in the order the frames stand in the tag, whose text-encoding
// field says 1, 2 or 3 (0 when every frame read that has a text-encoding field says 0; UFID has
// none and does not count).
struct FramesRead {
  std::array<const id3_frame *, kFrameKinds> frames{};
  int encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
};

FramesRead framesRead(const id3_tag &tag) {
  FramesRead read;
  bool unicodeSeen = false;
  for (unsigned i = 0; i < tag.nframes; ++i) {
    const id3_frame *frame = tag.frames[i];
    if (frame == nullptr) continue;
    for (size_t k = 0; k < kFrameKinds; ++k) {
      if (read.frames[k] != nullptr || std::memcmp(frame->id, kFrames[k].id, 5) != 0) continue;
      read.frames[k] = frame;
      const int encoding = frameEncoding(frame);
      if (!unicodeSeen && isUnicodeEncoding(encoding)) {
        read.encoding = encoding;
        unicodeSeen = true;
      }
      break;
    }
  }
  return read;
}

// One field of a parsed frame into the record.
void readField(const id3_frame *frame, const FieldMap &map, int encoding, PsdContent &c) {
  const id3_field *field = id3_frame_field(frame, map.index);
  switch (map.kind) {
    case FieldKind::language:
      break;
    case FieldKind::date:
      // Always present: eight bytes, read up to the first zero.
      if (field != nullptr && id3_field_type(field) == ID3_FIELD_TYPE_DATE)
        c.*map.member =
            std::string(field->immediate.value, strnlen(field->immediate.value, kDateLength));
      else
        c.*map.member = std::string();
      break;
    case FieldKind::int8: {
      const long value = field != nullptr ? id3_field_getint(field) : 0;
      char number[8];
      std::snprintf(number, sizeof number, "%d",
                    static_cast<int>(static_cast<int8_t>(value & 0xFF)));
      c.*map.member = std::string(number);
      break;
    }
    case FieldKind::identifier: {
      id3_length_t length = 0;
      const id3_byte_t *bytes =
          field != nullptr ? id3_field_getbinarydata(field, &length) : nullptr;
      if (bytes != nullptr && length >= 1 && length <= kMaxUfidIdentifier)
        c.ufidIdentifier.assign(bytes, bytes + length);
      break;
    }
    default:
      c.*map.member = decodedText(field, encoding);
      break;
  }
}

bool isTextField(const FieldMap &map) {
  return map.kind == FieldKind::stringList || map.kind == FieldKind::string ||
         map.kind == FieldKind::fullString;
}

// content with every text in its frame's encoding (UTF-8) made ISO-8859-1 bytes, into latin1;
// false when a text has a character beyond U+00FF.
bool asLatin1(const PsdContent &content, PsdContent &latin1) {
  latin1 = content;
  for (const FrameKind &kind : kFrames) {
    for (const FieldMap &map : kind.fields) {
      if (!isTextField(map)) continue;
      Text &value = latin1.*map.member;
      if (!value) continue;
      std::string bytes;
      if (!utf8ToLatin1(*value, bytes)) return false;
      *value = std::move(bytes);
    }
  }
  return true;
}

// The encoding a tag read in UTF-8 keeps. Its first Unicode frame's encoding when the message
// fits one tag in it, so that what a sender of this library sent comes back unchanged. A tagger
// may have stored most texts in ISO-8859-1 and one in UTF-16, which would double the others;
// then the encoding that holds every text in the shortest tag, on a tie the first of 0 (only
// when every text is ISO-8859-1), 3, 1, 2. When even that is too long the check refuses it,
// naming the shortest length. content becomes ISO-8859-1 bytes when 0 is taken.
int keptEncoding(PsdContent &content, int first) {
  if (measureTag(content, first) <= ZEL_MARLO_MAX_ID3_MSG_LEN) return first;
  PsdContent latin1;
  const bool latin1Holds = asLatin1(content, latin1);
  int best = -1;
  size_t shortest = 0;
  for (int encoding : {ZEL_MARLO_ID3_ENC_ISO_8859_1, ZEL_MARLO_ID3_ENC_UTF_8,
                       ZEL_MARLO_ID3_ENC_UTF_16, ZEL_MARLO_ID3_ENC_UTF_16BE}) {
    if (encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 && !latin1Holds) continue;
    const size_t length =
        measureTag(encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 ? latin1 : content, encoding);
    if (best < 0 || length < shortest) {
      best = encoding;
      shortest = length;
    }
  }
  if (best == ZEL_MARLO_ID3_ENC_ISO_8859_1) content = std::move(latin1);
  return best;
}

}  // namespace

std::optional<std::string> renderFieldText(const id3_field *field, int encoding) {
  const size_t length = fieldLength(field, encoding);
  if (length == 0) return std::nullopt;
  std::string text(length, '\0');
  if (!renderField(field, encoding, reinterpret_cast<uint8_t *>(text.data()), length))
    return std::nullopt;
  return text;
}

bool decodeTag(std::span<const uint8_t> bytes, PsdContent &content, int &encoding,
               ErrorRecord &error, std::optional<size_t> inputLength) {
  if (bytes.empty()) {
    reportPsdError(error, E_FORMAT, 811, "could not find id3 tag ");
    return false;
  }
  Id3Tag tag;
  if (auto plain = screenId3Tag(bytes)) tag.reset(id3_tag_parse(plain->data(), plain->size()));
  if (!tag) {
    reportPsdError(error, E_FORMAT, 822, "id3 parse failed, len=%zu",
                   inputLength.value_or(bytes.size()));
    return false;
  }

  const FramesRead read = framesRead(*tag);
  const auto &frames = read.frames;
  // A tag all in ISO-8859-1 keeps its bytes: no other encoding makes a shorter tag of them.
  const int textEncoding =
      read.encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 ? read.encoding : ZEL_MARLO_ID3_ENC_UTF_8;

  PsdContent decoded = switchesOf(content);
  for (size_t k = 0; k < kFrameKinds; ++k) {
    if (frames[k] == nullptr) continue;
    for (const FieldMap &map : kFrames[k].fields) readField(frames[k], map, textEncoding, decoded);
  }
  // The record holds fewer owner characters than a frame can carry; a longer owner is not taken.
  if (decoded.ufidOwnerId && decoded.ufidOwnerId->size() > kMaxUfidOwnerId)
    decoded.ufidOwnerId.reset();
  encoding = textEncoding == ZEL_MARLO_ID3_ENC_ISO_8859_1 ? textEncoding
                                                          : keptEncoding(decoded, read.encoding);
  content = std::move(decoded);
  return true;
}

}  // namespace zel::id3
