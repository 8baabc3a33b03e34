// SPDX-License-Identifier: GPL-2.0-or-later
// Where the record and the ID3 codec meet: "check, trial-encode, encode" on the way out and
// "decode, check, take over" on the way in.
//
// A message is valid when its values keep the record's rules and its enabled groups encode to
// a tag of at most 1024 bytes. A valid message is encoded once: the trial encoding is the tag
// that is handed on.
#pragma once

#include <span>

#include "api/handle.hpp"
#include "api/id3/codec.hpp"

namespace zel {

// Whether content, encoded in encoding, makes a valid message; the first failure is recorded
// in error.
bool checkContent(const PsdContent &content, int encoding, ErrorRecord &error);

// Whether msg's values make a valid message; the first failure is recorded in msg.
bool checkMessage(Msg &msg);

// The check; on success out holds the tag the trial encoding made.
bool encodeMessage(Msg &msg, id3::EncodedTag &out);

// The same, with the tag as a record for a caller of the API (release it with releaseId3Record);
// false without a report when out is null.
bool encodeMessage(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **out);

// Decodes tag under msg's group switches. The decoded values replace msg's, with a fresh error
// record, no containers and the decoded text encoding, only when they pass the check;
// otherwise msg keeps its values and records the failure.
// inputLength: the length a parse failure names (decodeTag).
bool takeOverTag(Msg &msg, std::span<const uint8_t> tag,
                 std::optional<size_t> inputLength = std::nullopt);

// Releases a record made by encodeMessage; false (nothing released) for null or a record
// without data.
bool releaseId3Record(ZEL_MARLO_ID3_PSD_MSG_t *record);

}  // namespace zel
