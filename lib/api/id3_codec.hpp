// SPDX-License-Identifier: GPL-2.0-or-later
// PSD content as an ID3v2.3 tag and back.
//
// Encoding builds libid3tag's tag model from the enabled groups (TIT2, TPE1, TALB, TCON, COMM,
// COMR, UFID) and lays it down with the zel_id3 writer. Decoding screens the bytes, parses them
// with libid3tag and reads the first frame of each kind.
//
// Text encodings: with id3TextEncoding 0 texts are ISO-8859-1, byte for byte both ways. With 1,
// 2 or 3 the values are read as UTF-8 and written as UTF-16 with mark, UTF-16BE or UTF-8.
// Decoded text is ISO-8859-1 bytes when every text frame read was stored in ISO-8859-1,
// otherwise UTF-8 throughout, and the handle's encoding becomes 3.
#pragma once

#include <optional>
#include <string>

#include "api/handle.hpp"

union id3_field;

namespace zel {

// Encodes the enabled groups; null on failure (error recorded in msg). Record and data from malloc;
// a tag without frames is length 0 with a non-null data allocation.
ZEL_MARLO_ID3_PSD_MSG_t *createId3Msg(Msg &msg);

// Whole validation, then the encoding; true and *out set on success.
bool createValidId3Msg(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **out);

// Decodes into msg; takes the values over only when they pass validation.
bool decodeId3Msg(const ZEL_MARLO_ID3_PSD_MSG_t *id3, Msg &msg);

// The bytes of one frame field as the writer lays it down, without terminator, text in
// encoding; nothing when that is no bytes at all. The string holds exactly those bytes.
std::optional<std::string> renderFieldText(const id3_field *field, int encoding);

}  // namespace zel
