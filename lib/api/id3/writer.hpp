// SPDX-License-Identifier: GPL-2.0-or-later
// The ID3v2.3 writer (zel_id3).
//
// Lays down the bytes of a libid3tag tag model:
//
//   tag    "ID3" 03 00 | flags 00 | size of what follows, syncsafe (4 x 7 bits) | frames
//   frame  id (4 ASCII) | data size, plain 32-bit big-endian | flags 00 00 | fields
//
// Fields are written in frame order; every field but the last carries its terminator. Text is
// written in the encoding that the frame's text-encoding field names:
//
//   0  ISO-8859-1, one byte per character        terminator 00
//   1  FE FF, then UTF-16 big-endian code units   terminator 00 00  (every string has its mark)
//   2  UTF-16 big-endian code units               terminator 00 00
//   3  UTF-8                                      terminator 00
//
// A field never set writes as an empty string, a zero number, eight zero date bytes or no binary
// bytes. No padding, extended header, footer, CRC, compression or unsynchronisation. A tag
// without frames is 0 bytes long: not even a header is written.
//
// Measuring and writing run the same code over two byte sinks (sink.hpp), so the length
// measured is the length written. Measuring allocates nothing. The codec measures a whole tag
// from the record (measureTag) with the same text templates over the counting sink; a tag
// written into a buffer of another size fails.
#pragma once

#include <cstddef>
#include <cstdint>

struct id3_tag;
union id3_field;

namespace zel::id3 {

// "zel_id3 v2.3_r4 Apr  9 2008"
const char *writerVersion();

// Writes the tag into out, which must hold exactly the tag's length (the codec measures it from
// the record it built the tag of). False (out undefined) when size differs or the tag is too
// large for its size fields.
bool renderTag(const id3_tag *tag, uint8_t *out, size_t size);

// One field as a frame holds it, without terminator, its text in encoding (0 to 3; a string
// list writes the encoding's terminator between its strings): the length, and the bytes into
// out (exactly fieldLength bytes; false when size differs).
size_t fieldLength(const id3_field *field, int encoding);
bool renderField(const id3_field *field, int encoding, uint8_t *out, size_t size);

}  // namespace zel::id3
