// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/message.hpp"

#include <cstdlib>
#include <utility>

#include "api/record/validate.hpp"

namespace zel {

bool checkContent(const PsdContent &content, int encoding, ErrorRecord &error) {
  id3::EncodedTag trial;
  return validateRules(content, error) && id3::encodeTag(content, encoding, error, trial);
}

bool checkMessage(Msg &msg) { return checkContent(msg.content, msg.id3TextEncoding, msg.error); }

bool encodeMessage(Msg &msg, id3::EncodedTag &out) {
  return validateRules(msg.content, msg.error) &&
         id3::encodeTag(msg.content, msg.id3TextEncoding, msg.error, out);
}

bool encodeMessage(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **out) {
  if (out == nullptr) return false;
  id3::EncodedTag tag;
  if (!encodeMessage(msg, tag)) return false;
  HeapPtr<ZEL_MARLO_ID3_PSD_MSG_t> record = heapAlloc<ZEL_MARLO_ID3_PSD_MSG_t>(1);
  if (!record) {
    reportPsdError(msg.error, E_SYSTEM, 716, "malloc id3 container failed in createId3Msg ");
    return false;
  }
  record->length = static_cast<uint32_t>(tag.length);
  record->data = tag.data.release();
  *out = record.release();
  return true;
}

bool takeOverTag(Msg &msg, std::span<const uint8_t> tag, std::optional<size_t> inputLength) {
  try {
    PsdContent decoded = switchesOf(msg.content);
    int encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
    if (!id3::decodeTag(tag, decoded, encoding, msg.error, inputLength)) return false;

    // The decoded values are checked on their own; the message learns only the verdict.
    ErrorRecord verdict;
    if (!checkContent(decoded, encoding, verdict)) {
      if (verdict.text) msg.error = std::move(verdict);
      return false;
    }
    releasePsdMsg(msg);
    initPsdMsg(msg, &decoded);
    msg.id3TextEncoding = encoding;
    return true;
  } catch (const std::bad_alloc &) {
    reportOutOfMemory(msg, 822);
    return false;
  }
}

bool releaseId3Record(ZEL_MARLO_ID3_PSD_MSG_t *record) {
  if (record == nullptr || record->data == nullptr) return false;
  std::free(record->data);
  std::free(record);
  return true;
}

}  // namespace zel
