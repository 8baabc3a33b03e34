// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/message.hpp"

#include <cstdlib>
#include <utility>

#include "api/id3/decode.hpp"
#include "api/record/validate.hpp"

namespace zel {

bool checkContent(const PsdContent &content, int encoding, ErrorRecord &error, size_t *length) {
  size_t measured = 0;
  if (!validateRules(content, error) || !id3::measureMessage(content, encoding, error, measured))
    return false;
  if (length != nullptr) *length = measured;
  return true;
}

bool checkMessage(Msg &msg) {
  if (msg.checkedLength()) return true;
  size_t length = 0;
  if (!checkContent(msg.content(), msg.encoding(), msg.error, &length)) return false;
  msg.rememberValid(static_cast<uint32_t>(length));
  return true;
}

bool encodeMessage(Msg &msg, id3::EncodedTag &out) {
  if (!msg.checkedLength() && !validateRules(msg.content(), msg.error)) return false;
  if (!id3::encodeTag(msg.content(), msg.encoding(), msg.error, out)) return false;
  msg.rememberValid(static_cast<uint32_t>(out.length));
  return true;
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
    PsdContent decoded = switchesOf(msg.content());
    int encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
    if (!id3::decodeTag(tag, decoded, encoding, msg.error, inputLength)) return false;

    // The decoded values are checked on their own; the message learns only the verdict.
    ErrorRecord verdict;
    size_t length = 0;
    if (!checkContent(decoded, encoding, verdict, &length)) {
      if (verdict.text) msg.error = std::move(verdict);
      return false;
    }
    releasePsdMsg(msg);
    initPsdMsg(msg, &decoded);
    msg.setEncoding(encoding);
    msg.rememberValid(static_cast<uint32_t>(length));  // what the check found of this content
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
