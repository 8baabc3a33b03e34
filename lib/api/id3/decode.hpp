// SPDX-License-Identifier: GPL-2.0-or-later
// An ID3 tag (v2.2, v2.3, v2.4 or v1) as PSD content.
//
// Decoding screens the bytes (guard.hpp), parses them with libid3tag and reads the first frame
// of each kind. Decoded text is ISO-8859-1 bytes with encoding 0 when every text frame read was
// stored in ISO-8859-1. Otherwise the encoding is that of the first frame, in tag order, stored
// in 1, 2 or 3 when the message fits one tag in it, else the one of those that hold every text
// (0 only when all are ISO-8859-1) that makes the shortest tag, on a tie the first of 0, 3, 1,
// 2; texts are UTF-8 unless that is 0. A decoded UFID owner longer than the record holds stays
// absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"

union id3_field;

namespace zel::id3 {

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
