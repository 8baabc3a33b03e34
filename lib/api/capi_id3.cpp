// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: validation, ID3 text encoding, ID3 tags and ID3 files.
#include <span>

#include "api/files.hpp"
#include "api/handle.hpp"
#include "api/message.hpp"

using zel::Msg;

extern "C" {

ZEL_MARLO_API int32_t zel_marlo_validatePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg) {
  return zel::apiStatus(psdMsg, 1421, [](Msg &msg) { return zel::checkMessage(msg); });
}

ZEL_MARLO_API int32_t zel_marlo_setId3TextEncoding(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t encoding) {
  return zel::apiStatus(psdMsg, 3192, [encoding](Msg &msg) {
    if (encoding < ZEL_MARLO_ID3_ENC_ISO_8859_1 || encoding > ZEL_MARLO_ID3_ENC_UTF_8) return false;
    msg.setEncoding(encoding);
    return true;
  });
}

ZEL_MARLO_API int32_t zel_marlo_getId3TextEncoding(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t *encoding) {
  return zel::apiStatus(psdMsg, 3223, [encoding](Msg &msg) {
    if (encoding == nullptr) return false;
    *encoding = msg.encoding();
    return true;
  });
}

ZEL_MARLO_API int32_t zel_marlo_getId3PsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                             ZEL_MARLO_ID3_PSD_MSG_t **id3Msg) {
  return zel::apiStatus(psdMsg, 1453,
                        [id3Msg](Msg &msg) { return zel::encodeMessage(msg, id3Msg); });
}

ZEL_MARLO_API int32_t zel_marlo_setId3PsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                             const ZEL_MARLO_ID3_PSD_MSG_t *id3Msg) {
  return zel::apiStatus(psdMsg, 1463, [id3Msg](Msg &msg) {
    std::span<const uint8_t> tag;
    if (id3Msg != nullptr && id3Msg->data != nullptr) tag = std::span(id3Msg->data, id3Msg->length);
    return zel::takeOverTag(msg, tag);
  });
}

ZEL_MARLO_API int32_t zel_marlo_loadId3PsdFile(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *path) {
  return zel::apiStatus(psdMsg, 1502, [path](Msg &msg) { return zel::loadId3File(msg, path); });
}

ZEL_MARLO_API int32_t zel_marlo_saveId3PsdFile(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *path) {
  return zel::apiStatus(psdMsg, 1569, [path](Msg &msg) { return zel::saveId3File(msg, path); });
}

}  // extern "C"
