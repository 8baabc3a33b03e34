// SPDX-License-Identifier: GPL-2.0-or-later
// PSD content as an ID3v2.3 tag and back.
//
// Encoding builds libid3tag's tag model from the frames of the enabled groups (id3::kFrames:
// TIT2, TPE1, TALB, TCON, COMM, COMR, UFID) and lays it down with the zel_id3 writer.
// Decoding screens the bytes (guard.hpp), parses them with libid3tag and reads the first frame
// of each kind.
//
// Text encodings: with encoding 0 texts are ISO-8859-1, byte for byte both ways. With 1, 2 or 3
// the values are read as UTF-8 and written as UTF-16 with mark, UTF-16BE or UTF-8. Decoded text
// is ISO-8859-1 bytes with encoding 0 when every text frame read was stored in ISO-8859-1.
// Otherwise the encoding is that of the first frame, in tag order, stored in 1, 2 or 3 when the
// message fits one tag in it, else the one of those that hold every text (0 only when all are
// ISO-8859-1) that makes the shortest tag, on a tie the first of 0, 3, 1, 2; texts are UTF-8
// unless that is 0. A decoded UFID owner longer than the record holds stays absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"
#include "common/heap.hpp"

union id3_field;

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

// Decodes a tag into content, whose group switches are left as they are and whose values are
// replaced by those of the tag; encoding receives the text encoding the tag keeps (0 to 3; the
// values are ISO-8859-1 for 0, UTF-8 otherwise), measured under content's group switches.
// A tag that is missing (811) or does not parse (822) is recorded in error; the parse report
// names inputLength, by default the size of tag (a file loader passes the file's length when it
// read only the part the tag covers).
bool decodeTag(std::span<const uint8_t> tag, PsdContent &content, int &encoding, ErrorRecord &error,
               std::optional<size_t> inputLength = std::nullopt);

// The bytes of one frame field as the writer lays it down, without terminator, text in
// encoding; nothing when that is no bytes at all. The string holds exactly those bytes.
std::optional<std::string> renderFieldText(const id3_field *field, int encoding);

}  // namespace zel::id3
