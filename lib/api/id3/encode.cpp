// SPDX-License-Identifier: GPL-2.0-or-later
// Encoding: libid3tag's tag model built from the rows of kFrames, laid down by the writer; and
// measuring: the length the writer would lay down, counted from the record under the same rows.
#include "api/id3/encode.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "api/id3/format.hpp"
#include "api/id3/raii.hpp"
#include "api/id3/sink.hpp"
#include "api/id3/text.hpp"
#include "api/id3/writer.hpp"
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
// A genre that begins with "(" is written with "((" in its place (escaped).
bool setString(id3_frame &frame, unsigned index, std::string_view bytes, int encoding,
               FieldKind kind, bool escaped) {
  const enum id3_field_type type = kind == FieldKind::stringList ? ID3_FIELD_TYPE_STRINGLIST
                                   : kind == FieldKind::string   ? ID3_FIELD_TYPE_STRING
                                                                 : ID3_FIELD_TYPE_STRINGFULL;
  id3_field *field = fieldAt(frame, index, type);
  if (field == nullptr) return false;
  Scratch<id3_ucs4_t, 256> room(bytes.size() + 2);
  id3_ucs4_t *chars = room.data() + 1;
  const bool keepLineFeeds = kind == FieldKind::fullString;
  if (isUnicodeEncoding(encoding))
    utf8ToUcs4(bytes, keepLineFeeds, chars);
  else
    latin1ToUcs4(bytes, keepLineFeeds, chars);
  if (escaped && chars[0] == '(') *--chars = '(';
  switch (kind) {
    case FieldKind::stringList: {
      id3_ucs4_t *list[] = {chars};
      return id3_field_setstrings(field, 1, list) == 0;
    }
    case FieldKind::string:
      return id3_field_setstring(field, chars) == 0;
    default:
      return id3_field_setfullstring(field, chars) == 0;
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

// Whether the frame of kind is written for c: its group enabled and its presence rule kept;
// ufid receives the values of a UFID frame.
bool written(const FrameKind &kind, const PsdContent &c, std::optional<UfidValues> &ufid) {
  if (c.*kind.group != 1) return false;
  switch (kind.presence) {
    case Presence::valueSet:
      return isSet(c.*kind.fields[0].member);
    case Presence::anyPresent:
      return anyPresent(kind, c);
    case Presence::ufid:
      ufid = ufidValues(c);
      return ufid.has_value();
  }
  return false;
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
      return setString(frame, map.index, bytes, encoding, map.kind, escapesLeadingParen(map));
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
    std::optional<UfidValues> ufid;
    if (!written(kind, c, ufid)) continue;
    Id3Frame frame = newFrame(kind.id, encoding);
    if (!frame) return false;
    for (const FieldMap &map : kind.fields)
      if (!setField(*frame, map, c, encoding, ufid ? &*ufid : nullptr)) return false;
    if (!attachFrame(tag, frame)) return false;
  }
  return true;
}

// Measuring: what the writer lays down for the frame libid3tag would be given, counted from the
// record with the writer's own text templates (sink.hpp) over a counting sink.

void countField(CountingSink &out, const FieldMap &map, const PsdContent &c, int encoding,
                const UfidValues *ufid, bool terminated) {
  switch (map.kind) {
    case FieldKind::language:
      out.skip(3);
      return;
    case FieldKind::identifier:
      out.skip(ufid != nullptr ? ufid->identifierLength : 0);
      return;
    case FieldKind::date:
      out.skip(kDateLength);
      return;
    case FieldKind::int8:
      out.put(0);
      return;
    default:
      break;
  }
  const Text &value = c.*map.member;
  const std::string_view bytes = isSet(value) ? bytesOf(*value) : std::string_view();
  if (map.kind == FieldKind::latin1) {
    out.skip(ufid != nullptr ? ufid->owner.size() : bytes.size());
    if (terminated) out.put(0);
    return;
  }
  const bool doubledParen = escapesLeadingParen(map) && !bytes.empty() && bytes[0] == '(';
  putText(out, ValueChars{bytes, doubledParen}, encoding);
  if (terminated) putTerminator(out, encoding);
}

}  // namespace

size_t measureTag(const PsdContent &content, int encoding) {
  encoding = knownEncoding(encoding);
  CountingSink out;
  for (const FrameKind &kind : kFrames) {
    std::optional<UfidValues> ufid;
    if (!written(kind, content, ufid)) continue;
    out.skip(kFrameHeaderLength);
    if (kind.fields.front().index > 0) out.put(0);  // field 0 is the text encoding
    const EmptyTail &tail = kind.emptyTail;
    for (size_t i = 0; i < kind.fields.size(); ++i)
      countField(out, kind.fields[i], content, encoding, ufid ? &*ufid : nullptr,
                 tail.fields > 0 || i + 1 < kind.fields.size());
    out.skip(tail.length);
  }
  return out.position() == 0 ? 0 : kHeaderLength + out.position();
}

bool measureMessage(const PsdContent &content, int encoding, ErrorRecord &error, size_t &length) {
  length = measureTag(content, encoding);
  if (length > ZEL_MARLO_MAX_ID3_MSG_LEN) {
    reportPsdError(error, E_FORMAT, 730, "pad message too long, '%zu bytes'", length);
    return false;
  }
  return true;
}

bool encodeTag(const PsdContent &content, int encoding, ErrorRecord &error, EncodedTag &out) {
  encoding = knownEncoding(encoding);
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
  // The record's measure is the model's length (the writer checks that it fills the buffer
  // exactly), and cheaper to take than a counting pass over the model.
  size_t length = 0;
  if (!measureMessage(content, encoding, error, length)) return false;
  HeapPtr<uint8_t> data = heapAlloc<uint8_t>(length);
  if (!data) {
    reportPsdError(error, E_SYSTEM, 744, "malloc tag failed in create ");
    return false;
  }
  // The measure and the writer share their text templates and the frame table; a tag of
  // another length than measured is a fault of the library, not of the message or the memory.
  if (!renderTag(tag.get(), data.get(), length)) {
    reportPsdError(error, E_SYSTEM, 745, "id3 tag is not the length measured, '%zu bytes' ",
                   length);
    return false;
  }
  out.data = std::move(data);
  out.length = length;
  return true;
}

}  // namespace zel::id3
