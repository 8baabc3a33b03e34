// SPDX-License-Identifier: GPL-2.0-or-later
// Encoding: libid3tag's tag model built from the rows of kFrames, laid down by zel_id3.
#include "api/id3/codec.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "api/id3/id3_format.hpp"
#include "api/id3/id3_raii.hpp"
#include "api/id3/text.hpp"
#include "api/id3/zel_id3.hpp"
#include "api/record/validate.hpp"
#include "api/zel_marlo.h"

namespace zel::id3 {

namespace {

// Room for n values: on the stack when they fit, else on the heap. Keeps the common short
// values of a message from costing an allocation each.
template <typename T, size_t N>
class Scratch {
 public:
  explicit Scratch(size_t n) {
    if (n > N) {
      heap_.resize(n);
      data_ = heap_.data();
    }
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  T *data() { return data_; }

 private:
  std::array<T, N> local_;
  std::vector<T> heap_;
  T *data_ = local_.data();
};

// A value's bytes up to its first zero byte.
std::string_view bytesOf(const std::string &value) { return std::string_view(value.c_str()); }

id3_field *fieldAt(id3_frame &frame, unsigned index, enum id3_field_type type) {
  id3_field *field = id3_frame_field(&frame, index);
  return field != nullptr && id3_field_type(field) == type ? field : nullptr;
}

// A string field from a value read in encoding; line feeds become blanks except in a full
// string.
bool setString(id3_frame &frame, unsigned index, std::string_view bytes, int encoding,
               FieldKind kind) {
  const enum id3_field_type type = kind == FieldKind::stringList ? ID3_FIELD_TYPE_STRINGLIST
                                   : kind == FieldKind::string   ? ID3_FIELD_TYPE_STRING
                                                                 : ID3_FIELD_TYPE_STRINGFULL;
  id3_field *field = fieldAt(frame, index, type);
  if (field == nullptr) return false;
  Scratch<id3_ucs4_t, 256> chars(bytes.size() + 1);
  const bool keepLineFeeds = kind == FieldKind::fullString;
  if (isUnicodeEncoding(encoding))
    utf8ToUcs4(bytes, keepLineFeeds, chars.data());
  else
    latin1ToUcs4(bytes, keepLineFeeds, chars.data());
  switch (kind) {
    case FieldKind::stringList: {
      id3_ucs4_t *list[] = {chars.data()};
      return id3_field_setstrings(field, 1, list) == 0;
    }
    case FieldKind::string:
      return id3_field_setstring(field, chars.data()) == 0;
    default:
      return id3_field_setfullstring(field, chars.data()) == 0;
  }
}

// An ISO-8859-1 field from the value's bytes as they are, line feeds as blanks.
bool setLatin1(id3_frame &frame, unsigned index, std::string_view bytes) {
  id3_field *field = fieldAt(frame, index, ID3_FIELD_TYPE_LATIN1);
  if (field == nullptr) return false;
  Scratch<id3_latin1_t, 256> text(bytes.size() + 1);
  id3_latin1_t *p = text.data();
  for (char ch : bytes) *p++ = ch == '\n' ? ' ' : static_cast<id3_latin1_t>(ch);
  *p = 0;
  return id3_field_setlatin1(field, text.data()) == 0;
}

// Exactly eight date bytes; a shorter date leaves them zero.
bool setDate(id3_frame &frame, unsigned index, std::string_view bytes) {
  id3_field *date = fieldAt(frame, index, ID3_FIELD_TYPE_DATE);
  if (date == nullptr) return false;
  if (bytes.size() >= kDateLength) {
    std::memcpy(date->immediate.value, bytes.data(), kDateLength);
    date->immediate.value[kDateLength] = '\0';
  }
  return true;
}

// A new frame; its text encoding set when it has one.
Id3Frame newFrame(const char *id, int encoding) {
  Id3Frame frame(id3_frame_new(id));
  if (!frame) return frame;
  id3_field *field = id3_frame_field(frame.get(), 0);
  if (field != nullptr && id3_field_type(field) == ID3_FIELD_TYPE_TEXTENCODING &&
      id3_field_settextencoding(field, static_cast<id3_field_textencoding>(encoding)) != 0)
    frame.reset();
  return frame;
}

bool anyPresent(const FrameKind &kind, const PsdContent &c) {
  return std::any_of(kind.fields.begin(), kind.fields.end(), [&c](const FieldMap &f) {
    return f.member != nullptr && (c.*f.member).has_value();
  });
}

// The values of a UFID frame: the owner id cut so that it and the identifier share the room
// they have; nothing when either is missing.
struct UfidValues {
  std::string_view owner;
  size_t identifierLength = 0;
};

std::optional<UfidValues> ufidValues(const PsdContent &c) {
  if (!c.ufidOwnerId || c.ufidIdentifier.empty()) return std::nullopt;
  UfidValues v;
  v.identifierLength = std::min<size_t>(c.ufidIdentifier.size(), kMaxUfidIdentifier);
  v.owner = bytesOf(*c.ufidOwnerId);
  if (v.owner.empty()) return std::nullopt;
  if (v.owner.size() + v.identifierLength > kUfidLimit)
    v.owner = v.owner.substr(0, kUfidLimit - v.identifierLength);
  return v;
}

// One field of a frame from the record; a value that is not set leaves the field as new.
bool setField(id3_frame &frame, const FieldMap &map, const PsdContent &c, int encoding,
              const UfidValues *ufid) {
  if (map.kind == FieldKind::language) {
    id3_field *language = fieldAt(frame, map.index, ID3_FIELD_TYPE_LANGUAGE);
    return language != nullptr && id3_field_setlanguage(language, "eng") == 0;
  }
  if (map.kind == FieldKind::identifier) {
    id3_field *identifier = fieldAt(frame, map.index, ID3_FIELD_TYPE_BINARYDATA);
    return identifier != nullptr && ufid != nullptr &&
           id3_field_setbinarydata(identifier, c.ufidIdentifier.data(), ufid->identifierLength) ==
               0;
  }
  const Text &value = c.*map.member;
  if (!isSet(value)) return true;
  const std::string_view bytes = bytesOf(*value);
  switch (map.kind) {
    case FieldKind::stringList:
    case FieldKind::string:
    case FieldKind::fullString:
      return setString(frame, map.index, bytes, encoding, map.kind);
    case FieldKind::latin1:
      return setLatin1(frame, map.index, ufid != nullptr ? ufid->owner : bytes);
    case FieldKind::date:
      return setDate(frame, map.index, bytes);
    case FieldKind::int8: {
      id3_field *number = fieldAt(frame, map.index, ID3_FIELD_TYPE_INT8);
      const auto low = static_cast<int8_t>(atoiSaturated(value->c_str()) & 0xFF);
      return number != nullptr && id3_field_setint(number, low) == 0;
    }
    default:
      return false;
  }
}

// The frames of the enabled groups, appended to tag in order. False when libid3tag runs out of
// memory.
bool buildTag(const PsdContent &c, int encoding, id3_tag &tag) {
  for (const FrameKind &kind : kFrames) {
    if (c.*kind.group != 1) continue;
    std::optional<UfidValues> ufid;
    switch (kind.presence) {
      case Presence::valueSet:
        if (!isSet(c.*kind.fields[0].member)) continue;
        break;
      case Presence::anyPresent:
        if (!anyPresent(kind, c)) continue;
        break;
      case Presence::ufid:
        ufid = ufidValues(c);
        if (!ufid) continue;
        break;
    }
    Id3Frame frame = newFrame(kind.id, encoding);
    if (!frame) return false;
    for (const FieldMap &map : kind.fields)
      if (!setField(*frame, map, c, encoding, ufid ? &*ufid : nullptr)) return false;
    if (!attachFrame(tag, frame)) return false;
  }
  return true;
}

}  // namespace

bool encodeTag(const PsdContent &content, int encoding, ErrorRecord &error, EncodedTag &out) {
  if (encoding < ZEL_MARLO_ID3_ENC_ISO_8859_1 || encoding > ZEL_MARLO_ID3_ENC_UTF_8)
    encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
  bool built = false;
  Id3Tag tag(id3_tag_new());
  try {
    built = tag && buildTag(content, encoding, *tag);
  } catch (const std::bad_alloc &) {
    built = false;
  }
  if (!built) {
    reportPsdError(error, E_SYSTEM, 716, "malloc id3 container failed in createId3Msg ");
    return false;
  }
  const size_t length = zel_id3_length(tag.get());
  if (length > ZEL_MARLO_MAX_ID3_MSG_LEN) {
    reportPsdError(error, E_FORMAT, 730, "pad message too long, '%zu bytes'", length);
    return false;
  }
  HeapPtr<uint8_t> data = heapAlloc<uint8_t>(length);
  if (!data || !zel_id3_render(tag.get(), data.get(), length)) {
    reportPsdError(error, E_SYSTEM, 744, "malloc tag failed in create ");
    return false;
  }
  out.data = std::move(data);
  out.length = length;
  return true;
}


}  // namespace zel::id3
