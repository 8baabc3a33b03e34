// SPDX-License-Identifier: GPL-2.0-or-later
// Where the record and the ID3 codec meet: "check, trial-encode, encode" on the way out and
// "decode, check, take over" on the way in.
//
// A message is valid when its values keep the record's rules and its enabled groups encode to
// a tag of at most 1024 bytes. The check measures the tag without building it, and the handle
// remembers the length of the content it found valid until the content, a switch or the
// encoding changes: validating, printing and sending one message encodes it once.
#pragma once

#include <cstddef>
#include <span>

#include "api/handle.hpp"
#include "api/id3/encode.hpp"

namespace zel {

// Whether content, encoded in encoding, makes a valid message; the first failure is recorded
// in error. On success length (when given) receives the tag's length.
bool checkContent(const PsdContent &content, int encoding, ErrorRecord &error,
                  size_t *length = nullptr);

// Whether msg's values make a valid message; the first failure is recorded in msg. Remembered
// by msg (rememberValid).
bool checkMessage(Msg &msg);

// The check (skipped when msg remembers its content valid), then the tag into out.
bool encodeMessage(Msg &msg, id3::EncodedTag &out);

// The same, with the tag as a record for a caller of the API (release it with releaseId3Record);
// false without a report when out is null.
bool encodeMessage(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **out);

// Decodes tag under msg's group switches. The decoded values replace msg's, with a fresh error
// record, no containers, the decoded text encoding and their length remembered, only when they
// pass the check; otherwise msg keeps its values and records the failure.
// inputLength: the length a parse failure names (decodeTag).
bool takeOverTag(Msg &msg, std::span<const uint8_t> tag,
                 std::optional<size_t> inputLength = std::nullopt);

// Releases a record made by encodeMessage; false (nothing released) for null or a record
// without data.
bool releaseId3Record(ZEL_MARLO_ID3_PSD_MSG_t *record);

}  // namespace zel
