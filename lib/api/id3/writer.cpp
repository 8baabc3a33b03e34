// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3/writer.hpp"

#include <id3tag.h>

#include <span>

#include "api/id3/format.hpp"
#include "api/id3/sink.hpp"

namespace zel::id3 {

namespace {

constexpr uint8_t kMajorVersion = 3;

template <class Sink>
void putLatin1(Sink &out, const id3_latin1_t *text) {
  if (text == nullptr) return;
  for (; *text != 0; ++text) out.put(*text);
}

// One field; terminated when it is not the last of its frame. A text-encoding field sets the
// encoding of the strings after it.
template <class Sink>
void putField(Sink &out, const id3_field &field, int &encoding, bool terminated) {
  const auto raw = [](const char *p, size_t n) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(p), n);
  };
  switch (field.type) {
    case ID3_FIELD_TYPE_TEXTENCODING:
      out.put(static_cast<uint8_t>(field.number.value));
      encoding = knownEncoding(field.number.value);
      break;
    case ID3_FIELD_TYPE_INT8:
      out.put(static_cast<uint8_t>(field.number.value));
      break;
    case ID3_FIELD_TYPE_INT16:
      out.u16be(static_cast<uint16_t>(field.number.value));
      break;
    case ID3_FIELD_TYPE_INT24:
      out.put(static_cast<uint8_t>(field.number.value >> 16));
      out.u16be(static_cast<uint16_t>(field.number.value));
      break;
    case ID3_FIELD_TYPE_INT32:
      out.u32be(static_cast<uint32_t>(field.number.value));
      break;
    case ID3_FIELD_TYPE_LANGUAGE:
      out.put(raw(field.immediate.value, 3));
      break;
    case ID3_FIELD_TYPE_FRAMEID:
      out.put(raw(field.immediate.value, 4));
      break;
    case ID3_FIELD_TYPE_DATE:
      out.put(raw(field.immediate.value, 8));
      break;
    case ID3_FIELD_TYPE_LATIN1:
      putLatin1(out, id3_field_getlatin1(&field));
      if (terminated) out.put(0);
      break;
    case ID3_FIELD_TYPE_LATIN1FULL:
      putLatin1(out, id3_field_getfulllatin1(&field));
      if (terminated) out.put(0);
      break;
    case ID3_FIELD_TYPE_LATIN1LIST:
      for (unsigned i = 0; i < field.latin1list.nstrings; ++i) {
        if (i > 0) out.put(0);
        putLatin1(out, field.latin1list.strings[i]);
      }
      if (terminated) out.put(0);
      break;
    case ID3_FIELD_TYPE_STRING:
      putText(out, ModelChars{id3_field_getstring(&field)}, encoding);
      if (terminated) putTerminator(out, encoding);
      break;
    case ID3_FIELD_TYPE_STRINGFULL:
      putText(out, ModelChars{id3_field_getfullstring(&field)}, encoding);
      if (terminated) putTerminator(out, encoding);
      break;
    case ID3_FIELD_TYPE_STRINGLIST: {
      const unsigned n = id3_field_getnstrings(&field);
      if (n == 0) putText(out, ModelChars{nullptr}, encoding);  // an empty string: its mark, if any
      for (unsigned i = 0; i < n; ++i) {
        if (i > 0) putTerminator(out, encoding);
        putText(out, ModelChars{id3_field_getstrings(&field, i)}, encoding);
      }
      if (terminated) putTerminator(out, encoding);
      break;
    }
    case ID3_FIELD_TYPE_INT32PLUS:
    case ID3_FIELD_TYPE_BINARYDATA:
      if (field.binary.data != nullptr) out.put(std::span(field.binary.data, field.binary.length));
      break;
  }
}

// The whole tag. False when a size does not fit its field.
template <class Sink>
bool putTag(Sink &out, const id3_tag &tag) {
  if (tag.nframes == 0) return true;
  out.put(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>("ID3"), 3));
  out.put(kMajorVersion);
  out.put(0);  // revision
  out.put(0);  // flags
  const size_t tagSizeAt = out.position();
  out.u32be(0);  // filled in at the end

  bool fits = true;
  for (unsigned i = 0; i < tag.nframes; ++i) {
    const id3_frame *frame = tag.frames[i];
    if (frame == nullptr) continue;
    out.put(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(frame->id), 4));
    const size_t frameSizeAt = out.position();
    out.u32be(0);  // filled in after the data
    out.u16be(0);  // flags
    const size_t dataStart = out.position();

    int encoding = ID3_FIELD_TEXTENCODING_ISO_8859_1;
    for (unsigned j = 0; j < frame->nfields; ++j) {
      const id3_field *field = id3_frame_field(frame, j);
      if (field != nullptr) putField(out, *field, encoding, j + 1 < frame->nfields);
    }
    const size_t dataSize = out.position() - dataStart;
    fits = fits && dataSize <= UINT32_MAX;
    out.patchU32be(frameSizeAt, static_cast<uint32_t>(dataSize));
  }
  const size_t tagSize = out.position() - kHeaderLength;
  fits = fits && tagSize <= kMaxSyncsafe;
  out.patchU32be(tagSizeAt, toSyncsafe(static_cast<uint32_t>(tagSize & kMaxSyncsafe)));
  return fits;
}

}  // namespace

const char *writerVersion() { return "zel_id3 v2.3_r4 Apr  9 2008"; }

bool renderTag(const id3_tag *tag, uint8_t *out, size_t size) {
  if (tag == nullptr || tag->nframes == 0) return size == 0;
  BufferSink sink(std::span(out, size));
  return putTag(sink, *tag) && sink.ok() && sink.position() == size;
}

size_t fieldLength(const id3_field *field, int encoding) {
  if (field == nullptr) return 0;
  CountingSink counter;
  encoding = knownEncoding(encoding);
  putField(counter, *field, encoding, false);
  return counter.position();
}

bool renderField(const id3_field *field, int encoding, uint8_t *out, size_t size) {
  if (field == nullptr) return size == 0;
  BufferSink sink(std::span(out, size));
  encoding = knownEncoding(encoding);
  putField(sink, *field, encoding, false);
  return sink.ok() && sink.position() == size;
}

}  // namespace zel::id3
