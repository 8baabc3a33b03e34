// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: handle life cycle, error record, error log, ID3 record release.
#include <cstdlib>
#include <new>

#include "api/handle.hpp"
#include "api/message.hpp"

using zel::Msg;

extern "C" {

ZEL_MARLO_API int32_t zel_marlo_allocPsdMsg(ZEL_MARLO_PSD_MSG_t **psdMsg) {
  Msg *msg = zel::newPsdMsg();
  if (msg == nullptr) {
    zel::logReport(E_SYSTEM, 1382, "malloc control block failed in create ");
    return ZEL_MARLO_FAILURE;
  }
  *psdMsg = msg;
  return ZEL_MARLO_SUCCESS;
}

ZEL_MARLO_API int32_t zel_marlo_deletePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg) {
  Msg *msg = zel::takeBack(psdMsg, 1397);
  if (msg == nullptr) return ZEL_MARLO_FAILURE;
  zel::releasePsdMsg(*msg);
  delete msg;
  return ZEL_MARLO_SUCCESS;
}

ZEL_MARLO_API int32_t zel_marlo_clearPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg) {
  return zel::apiStatus(psdMsg, 1409, [](Msg &msg) {
    zel::releasePsdMsg(msg);
    zel::initPsdMsg(msg);
    return true;
  });
}

ZEL_MARLO_API int32_t zel_marlo_getErrorNum(ZEL_MARLO_PSD_MSG_t *psdMsg) {
  return zel::apiValue(psdMsg, 1336, int32_t{ZEL_MARLO_FAILURE},
                       [](Msg &msg) { return msg.error.number; });
}

ZEL_MARLO_API const char *zel_marlo_getErrorStr(ZEL_MARLO_PSD_MSG_t *psdMsg) {
  return zel::apiValue(psdMsg, 1344, static_cast<const char *>(nullptr),
                       [](Msg &msg) { return msg.error.text ? msg.error.text->c_str() : nullptr; });
}

ZEL_MARLO_API int32_t zel_marlo_enableErrorLog(uint8_t enable, FILE *stream) {
  zel::enableLog(enable, stream);
  return ZEL_MARLO_SUCCESS;
}

ZEL_MARLO_API int32_t zel_marlo_freeId3PsdMsg(ZEL_MARLO_ID3_PSD_MSG_t *id3Msg) {
  return zel::releaseId3Record(id3Msg) ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE;
}

}  // extern "C"
