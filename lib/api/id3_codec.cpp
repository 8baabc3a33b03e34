// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3_codec.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "api/id3_guard.hpp"
#include "api/id3_raii.hpp"
#include "api/validate.hpp"
#include "api/zel_id3.hpp"

namespace zel {

namespace {

constexpr size_t kDateLength = 8;
constexpr size_t kUfidLimit = 192;  // owner id and identifier bytes together
constexpr id3_ucs4_t kReplacement = 0xFFFD;

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

bool isUnicode(int encoding) {
  return encoding == ID3_FIELD_TEXTENCODING_UTF_16 || encoding == ID3_FIELD_TEXTENCODING_UTF_16BE ||
         encoding == ID3_FIELD_TEXTENCODING_UTF_8;
}

// Decodes UTF-8 into out (room for in.size() + 1), zero-terminated. Each ill-formed sequence
// (its longest valid prefix) becomes one U+FFFD; overlong forms, surrogates and values above
// U+10FFFF are ill-formed.
void utf8ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out) {
  const auto *s = reinterpret_cast<const uint8_t *>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t lead = s[i++];
    id3_ucs4_t c = lead;
    int more = 0;
    uint8_t low = 0x80, high = 0xBF;  // range of the first continuation byte
    if (lead < 0x80) {
      more = 0;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      c = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      c = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      *out++ = kReplacement;
      continue;
    }
    for (; more > 0; --more) {
      if (i == n || s[i] < low || s[i] > high) break;
      c = c << 6 | (s[i++] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (more > 0) c = kReplacement;
    *out++ = c == '\n' && !keepLineFeeds ? id3_ucs4_t{' '} : c;
  }
  *out = 0;
}

// ISO-8859-1: one character per byte.
void latin1ToUcs4(std::string_view in, bool keepLineFeeds, id3_ucs4_t *out) {
  for (char ch : in) {
    const auto b = static_cast<uint8_t>(ch);
    *out++ = b == '\n' && !keepLineFeeds ? id3_ucs4_t{' '} : b;
  }
  *out = 0;
}

enum class StringField { list, single, full };

id3_field *fieldAt(id3_frame &frame, unsigned index, enum id3_field_type type) {
  id3_field *field = id3_frame_field(&frame, index);
  return field != nullptr && id3_field_type(field) == type ? field : nullptr;
}

// A string field from a value read in encoding; line feeds become blanks except in a full
// string.
bool setString(id3_frame &frame, unsigned index, const std::string &value, int encoding,
               StringField kind) {
  static constexpr enum id3_field_type kTypes[] = {ID3_FIELD_TYPE_STRINGLIST, ID3_FIELD_TYPE_STRING,
                                                   ID3_FIELD_TYPE_STRINGFULL};
  id3_field *field = fieldAt(frame, index, kTypes[static_cast<int>(kind)]);
  if (field == nullptr) return false;
  const std::string_view bytes = bytesOf(value);
  Scratch<id3_ucs4_t, 256> chars(bytes.size() + 1);
  const bool keepLineFeeds = kind == StringField::full;
  if (isUnicode(encoding))
    utf8ToUcs4(bytes, keepLineFeeds, chars.data());
  else
    latin1ToUcs4(bytes, keepLineFeeds, chars.data());
  switch (kind) {
    case StringField::list: {
      id3_ucs4_t *list[] = {chars.data()};
      return id3_field_setstrings(field, 1, list) == 0;
    }
    case StringField::single:
      return id3_field_setstring(field, chars.data()) == 0;
    case StringField::full:
      return id3_field_setfullstring(field, chars.data()) == 0;
  }
  return false;
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

// The frames of the enabled groups, appended to tag in order. False when libid3tag runs out of
// memory.
bool buildTag(const PsdContent &c, int encoding, id3_tag &tag) {
  if (c.coreEnabled == 1) {
    const std::pair<const char *, const Text *> core[] = {
        {"TIT2", &c.title}, {"TPE1", &c.artist}, {"TALB", &c.album}, {"TCON", &c.genre}};
    for (const auto &[id, value] : core) {
      if (!isSet(*value)) continue;
      Id3Frame frame = newFrame(id, encoding);
      if (!frame || !setString(*frame, 1, **value, encoding, StringField::list) ||
          !attachFrame(tag, frame))
        return false;
    }
  }

  if (c.commentEnabled == 1 && (c.commentTitle || c.commentDesc)) {
    Id3Frame frame = newFrame("COMM", encoding);
    if (!frame) return false;
    id3_field *language = fieldAt(*frame, 1, ID3_FIELD_TYPE_LANGUAGE);
    if (language == nullptr || id3_field_setlanguage(language, "eng") != 0) return false;
    if (isSet(c.commentTitle) &&
        !setString(*frame, 2, *c.commentTitle, encoding, StringField::single))
      return false;
    if (isSet(c.commentDesc) && !setString(*frame, 3, *c.commentDesc, encoding, StringField::full))
      return false;
    if (!attachFrame(tag, frame)) return false;
  }

  if (c.commercialEnabled == 1 &&
      (c.price || c.validUntil || c.contactUrl || c.recvAs || c.sellerName || c.productDesc)) {
    Id3Frame frame = newFrame("COMR", encoding);
    if (!frame) return false;
    if (isSet(c.price) && !setLatin1(*frame, 1, bytesOf(*c.price))) return false;
    if (isSet(c.validUntil)) {
      // Exactly eight bytes; a shorter date leaves them zero.
      id3_field *date = fieldAt(*frame, 2, ID3_FIELD_TYPE_DATE);
      if (date == nullptr) return false;
      const std::string_view bytes = bytesOf(*c.validUntil);
      if (bytes.size() >= kDateLength) {
        std::memcpy(date->immediate.value, bytes.data(), kDateLength);
        date->immediate.value[kDateLength] = '\0';
      }
    }
    if (isSet(c.contactUrl) && !setLatin1(*frame, 3, bytesOf(*c.contactUrl))) return false;
    if (isSet(c.recvAs)) {
      id3_field *recvAs = fieldAt(*frame, 4, ID3_FIELD_TYPE_INT8);
      const auto low = static_cast<int8_t>(atoiSaturated(c.recvAs->c_str()) & 0xFF);
      if (recvAs == nullptr || id3_field_setint(recvAs, low) != 0) return false;
    }
    if (isSet(c.sellerName) && !setString(*frame, 5, *c.sellerName, encoding, StringField::single))
      return false;
    if (isSet(c.productDesc) &&
        !setString(*frame, 6, *c.productDesc, encoding, StringField::single))
      return false;
    if (!attachFrame(tag, frame)) return false;
  }

  if (c.ufidEnabled == 1 && c.ufidOwnerId && !c.ufidIdentifier.empty()) {
    const size_t n = std::min<size_t>(c.ufidIdentifier.size(), kMaxUfidIdentifier);
    std::string_view owner = bytesOf(*c.ufidOwnerId);
    if (!owner.empty()) {
      // Owner id and identifier share 192 bytes; the owner id gives way.
      if (owner.size() + n > kUfidLimit) owner = owner.substr(0, kUfidLimit - n);
      Id3Frame frame = newFrame("UFID", encoding);
      if (!frame || !setLatin1(*frame, 0, owner)) return false;
      id3_field *identifier = fieldAt(*frame, 1, ID3_FIELD_TYPE_BINARYDATA);
      if (identifier == nullptr ||
          id3_field_setbinarydata(identifier, c.ufidIdentifier.data(), n) != 0 ||
          !attachFrame(tag, frame))
        return false;
    }
  }
  return true;
}

// ---- decoding ------------------------------------------------------------------------------

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

// Reads the first frame of each kind into c. Returns whether a text frame was stored in a
// Unicode encoding, in which case every text is decoded as UTF-8.
bool readTag(const id3_tag &tag, PsdContent &c) {
  const std::pair<const char *, Text *> core[] = {
      {"TIT2", &c.title}, {"TPE1", &c.artist}, {"TALB", &c.album}, {"TCON", &c.genre}};
  const id3_frame *coreFrames[4];
  for (size_t i = 0; i < 4; ++i) coreFrames[i] = id3_tag_findframe(&tag, core[i].first, 0);
  const id3_frame *comm = id3_tag_findframe(&tag, "COMM", 0);
  const id3_frame *comr = id3_tag_findframe(&tag, "COMR", 0);
  const id3_frame *ufid = id3_tag_findframe(&tag, "UFID", 0);

  bool unicode = isUnicode(frameEncoding(comm)) || isUnicode(frameEncoding(comr));
  for (const id3_frame *frame : coreFrames) unicode = unicode || isUnicode(frameEncoding(frame));
  const int encoding = unicode ? ID3_FIELD_TEXTENCODING_UTF_8 : ID3_FIELD_TEXTENCODING_ISO_8859_1;

  for (size_t i = 0; i < 4; ++i)
    if (coreFrames[i] != nullptr) *core[i].second = decodedText(coreFrames[i], 1, encoding);

  if (comm != nullptr) {
    c.commentTitle = decodedText(comm, 2, encoding);
    c.commentDesc = decodedText(comm, 3, encoding);
  }

  if (comr != nullptr) {
    c.price = decodedText(comr, 1, encoding);
    // Always present: eight bytes, read up to the first zero.
    const id3_field *date = id3_frame_field(comr, 2);
    if (date != nullptr && id3_field_type(date) == ID3_FIELD_TYPE_DATE)
      c.validUntil =
          std::string(date->immediate.value, strnlen(date->immediate.value, kDateLength));
    else
      c.validUntil = std::string();
    c.contactUrl = decodedText(comr, 3, encoding);
    const id3_field *recvAs = id3_frame_field(comr, 4);
    const long value = recvAs != nullptr ? id3_field_getint(recvAs) : 0;
    char number[8];
    std::snprintf(number, sizeof number, "%d", static_cast<int>(static_cast<int8_t>(value & 0xFF)));
    c.recvAs = std::string(number);
    c.sellerName = decodedText(comr, 5, encoding);
    c.productDesc = decodedText(comr, 6, encoding);
  }

  if (ufid != nullptr) {
    c.ufidOwnerId = decodedText(ufid, 0, encoding);
    const id3_field *identifier = id3_frame_field(ufid, 1);
    id3_length_t length = 0;
    const id3_byte_t *bytes =
        identifier != nullptr ? id3_field_getbinarydata(identifier, &length) : nullptr;
    if (bytes != nullptr && length >= 1 && length <= kMaxUfidIdentifier)
      c.ufidIdentifier.assign(bytes, bytes + length);
  }
  return unicode;
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

ZEL_MARLO_ID3_PSD_MSG_t *createId3Msg(Msg &msg) {
  const int encoding = msg.id3TextEncoding >= ZEL_MARLO_ID3_ENC_ISO_8859_1 &&
                               msg.id3TextEncoding <= ZEL_MARLO_ID3_ENC_UTF_8
                           ? msg.id3TextEncoding
                           : ZEL_MARLO_ID3_ENC_ISO_8859_1;
  bool built = false;
  Id3Tag tag(id3_tag_new());
  try {
    built = tag && buildTag(msg.content, encoding, *tag);
  } catch (const std::bad_alloc &) {
    built = false;
  }
  if (!built) {
    reportPsdError(msg, E_SYSTEM, 716, "malloc id3 container failed in createId3Msg %s", "");
    return nullptr;
  }

  auto *record =
      static_cast<ZEL_MARLO_ID3_PSD_MSG_t *>(std::malloc(sizeof(ZEL_MARLO_ID3_PSD_MSG_t)));
  if (record == nullptr) {
    reportPsdError(msg, E_SYSTEM, 716, "malloc id3 container failed in createId3Msg %s", "");
    return nullptr;
  }
  const size_t length = zel_id3_length(tag.get());
  if (length > ZEL_MARLO_MAX_ID3_MSG_LEN) {
    std::free(record);
    reportPsdError(msg, E_FORMAT, 730, "pad message too long, '%zu bytes'", length);
    return nullptr;
  }
  // A tag without frames still gets a block of its own, so that the record can be released.
  record->data = static_cast<uint8_t *>(std::malloc(length > 0 ? length : 1));
  if (record->data == nullptr || !zel_id3_render(tag.get(), record->data, length)) {
    std::free(record->data);
    std::free(record);
    reportPsdError(msg, E_SYSTEM, 744, "malloc tag failed in create %s", "");
    return nullptr;
  }
  record->length = static_cast<uint32_t>(length);
  return record;
}

bool createValidId3Msg(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **out) {
  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  if (out == nullptr || !checkPsdContent(msg, &tag)) return false;
  *out = tag;
  return true;
}

bool decodeId3Msg(const ZEL_MARLO_ID3_PSD_MSG_t *id3, Msg &msg) {
  try {
    if (id3 == nullptr || id3->data == nullptr || id3->length == 0) {
      reportPsdError(msg, E_FORMAT, 811, "could not find id3 tag %s", "");
      return false;
    }
    Id3Tag tag;
    if (auto plain = screenId3Tag(std::span(id3->data, id3->length)))
      tag.reset(id3_tag_parse(plain->data(), plain->size()));
    if (!tag) {
      reportPsdError(msg, E_FORMAT, 822, "id3 parse failed, len=%u", id3->length);
      return false;
    }

    // The decoded values go into a block of their own and replace the message's only when they
    // pass validation, under the message's group switches.
    Msg decoded;
    initPsdMsg(decoded);
    decoded.content.coreEnabled = msg.content.coreEnabled;
    decoded.content.commentEnabled = msg.content.commentEnabled;
    decoded.content.commercialEnabled = msg.content.commercialEnabled;
    decoded.content.ufidEnabled = msg.content.ufidEnabled;
    const bool unicode = readTag(*tag, decoded.content);
    tag.reset();
    decoded.id3TextEncoding = unicode ? ZEL_MARLO_ID3_ENC_UTF_8 : ZEL_MARLO_ID3_ENC_ISO_8859_1;

    if (!checkPsdContent(decoded)) {
      if (decoded.errorText) {
        msg.errorNum = decoded.errorNum;
        msg.errorText = decoded.errorText;
      }
      releasePsdMsg(decoded);
      return false;
    }
    releasePsdMsg(msg);
    initPsdMsg(msg, &decoded.content);
    msg.id3TextEncoding = decoded.id3TextEncoding;
    releasePsdMsg(decoded);
    return true;
  } catch (const std::bad_alloc &) {
    reportOutOfMemory(msg, 822);
    return false;
  }
}

}  // namespace zel
