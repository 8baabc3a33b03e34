// SPDX-License-Identifier: GPL-2.0-or-later
// PSD content as an ID3v2.3 tag.
//
// Encoding builds libid3tag's tag model from the frames of the enabled groups (kFrames: TIT2,
// TPE1, TALB, TCON, COMM, COMR, UFID) and lays it down with the writer (writer.hpp); measuring
// counts the same bytes from the record. Text encodings: with encoding 0 texts are ISO-8859-1,
// byte for byte. With 1, 2 or 3 the values are read as UTF-8 and written as UTF-16 with mark,
// UTF-16BE or UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"
#include "common/heap.hpp"

namespace zel::id3 {

// A tag's bytes on the C heap, so that they can be handed to a caller as they are. A tag
// without frames is length 0 and still has a block.
struct EncodedTag {
  HeapPtr<uint8_t> data;
  size_t length = 0;
};

// Encodes the enabled groups of content in encoding (0 to 3; anything else counts as 0). A tag
// longer than the largest a message may travel in is refused (730); failures are recorded in
// error.
bool encodeTag(const PsdContent &content, int encoding, ErrorRecord &error, EncodedTag &out);

// The length of the tag encodeTag makes of content in encoding, counted from the record without
// building the tag; allocates nothing.
size_t measureTag(const PsdContent &content, int encoding);

// measureTag into length, with encodeTag's verdict on it: a tag longer than the largest a
// message may travel in is refused (730, recorded in error).
bool measureMessage(const PsdContent &content, int encoding, ErrorRecord &error, size_t &length);

}  // namespace zel::id3
