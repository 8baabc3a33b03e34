// SPDX-License-Identifier: GPL-2.0-or-later
// Decoding: the guard's plain tag, libid3tag's parse, the first frame of each kind of kFrames.
#include "api/id3/codec.hpp"

#include <array>
#include <cstdio>
#include <cstring>

#include "api/id3/guard.hpp"
#include "api/id3/id3_format.hpp"
#include "api/id3/id3_raii.hpp"
#include "api/id3/text.hpp"
#include "api/id3/zel_id3.hpp"
#include "api/zel_marlo.h"

namespace zel::id3 {

namespace {

int frameEncoding(const id3_frame *frame) {
  if (frame == nullptr) return -1;
  const id3_field *field = id3_frame_field(frame, 0);
  if (field == nullptr || id3_field_type(field) != ID3_FIELD_TYPE_TEXTENCODING) return -1;
  return static_cast<int>(id3_field_gettextencoding(field));
}

// The first string of a field in encoding (its whole text for a single string); absent when it
// has no characters.
Text decodedText(const id3_frame *frame, unsigned index, int encoding) {
  std::optional<std::string> text = renderFieldText(id3_frame_field(frame, index), encoding);
  if (!text) return std::nullopt;
  text->resize(std::strlen(text->c_str()));
  if (text->empty()) return std::nullopt;
  return text;
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
      const id3_byte_t *bytes = field != nullptr ? id3_field_getbinarydata(field, &length) : nullptr;
      if (bytes != nullptr && length >= 1 && length <= kMaxUfidIdentifier)
        c.ufidIdentifier.assign(bytes, bytes + length);
      break;
    }
    default:
      c.*map.member = decodedText(frame, map.index, encoding);
      break;
  }
}

}  // namespace

std::optional<std::string> renderFieldText(const id3_field *field, int encoding) {
  const size_t length = zel_id3_field_length(field, encoding);
  if (length == 0) return std::nullopt;
  std::string text(length, '\0');
  if (!zel_id3_render_field(field, encoding, reinterpret_cast<uint8_t *>(text.data()), length))
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

  std::array<const id3_frame *, kFrameKinds> frames{};
  bool unicode = false;
  for (size_t k = 0; k < kFrameKinds; ++k) {
    frames[k] = id3_tag_findframe(tag.get(), kFrames[k].id, 0);
    unicode = unicode || isUnicodeEncoding(frameEncoding(frames[k]));
  }
  encoding = unicode ? ZEL_MARLO_ID3_ENC_UTF_8 : ZEL_MARLO_ID3_ENC_ISO_8859_1;

  PsdContent decoded = switchesOf(content);
  for (size_t k = 0; k < kFrameKinds; ++k) {
    if (frames[k] == nullptr) continue;
    for (const FieldMap &map : kFrames[k].fields) readField(frames[k], map, encoding, decoded);
  }
  content = std::move(decoded);
  return true;
}


}  // namespace zel::id3
