// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: the send and receive road of a PSD message.
#include "api/handle.hpp"
#include "api/road.hpp"

using zel::Msg;

extern "C" {

ZEL_MARLO_API int32_t zel_marlo_createPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t contentId) {
  return zel::apiStatus(psdMsg, 1792,
                        [&](Msg &msg) { return zel::createContainer(msg, contentId); });
}

ZEL_MARLO_API int32_t zel_marlo_sendPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *host,
                                           int32_t port, ZEL_MARLO_MSG_ID_t msgId) {
  if (msgId != ZEL_MARLO_MSG_ID_PSD && msgId != ZEL_MARLO_MSG_ID_FLUSH) return ZEL_MARLO_FAILURE;
  return zel::apiValue(psdMsg, 2165, int32_t{ZEL_MARLO_FAILURE}, [&](Msg &msg) {
    return msgId == ZEL_MARLO_MSG_ID_PSD ? zel::sendPsd(msg, host, port)
                                         : zel::sendFlush(msg, host, port);
  });
}

ZEL_MARLO_API int32_t zel_marlo_sendPsdMsgToBuffer(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t **buffer,
                                                   uint32_t *length, ZEL_MARLO_VESK_TYPE_t veskType,
                                                   ZEL_MARLO_MSG_ID_t msgId) {
  return zel::apiValue(psdMsg, 2401, int32_t{ZEL_MARLO_FAILURE}, [&](Msg &msg) {
    if (msgId != ZEL_MARLO_MSG_ID_PSD && msgId != ZEL_MARLO_MSG_ID_FLUSH) {
      zel::reportPsdError(msg.error, XFER_RX, 2714, "unsupported ZEL_MARLO_MSG_ID_t [ %d ]", msgId);
      return int32_t{ZEL_MARLO_FAILURE};
    }
    return zel::sendToBuffer(msg, buffer, length, veskType, msgId);
  });
}

ZEL_MARLO_API int32_t zel_marlo_recvPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, int32_t port,
                                           ZEL_MARLO_MSG_ID_t *msgId) {
  return zel::apiValue(psdMsg, 1903, int32_t{ZEL_MARLO_FAILURE},
                       [&](Msg &msg) { return zel::recvFromNetwork(msg, port, msgId); });
}

ZEL_MARLO_API int32_t zel_marlo_recvPsdMsgFromBuffer(ZEL_MARLO_PSD_MSG_t *psdMsg,
                                                     const uint8_t *buffer, uint32_t length,
                                                     ZEL_MARLO_VESK_TYPE_t veskType,
                                                     ZEL_MARLO_MSG_ID_t *msgId) {
  return zel::apiValue(psdMsg, 2007, int32_t{ZEL_MARLO_FAILURE}, [&](Msg &msg) {
    return zel::recvFromBuffer(msg, buffer, length, veskType, msgId);
  });
}

ZEL_MARLO_API int32_t zel_marlo_parsePsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, uint16_t *contentId) {
  return zel::apiStatus(psdMsg, 1686, [&](Msg &msg) { return zel::parseReceived(msg, contentId); });
}

ZEL_MARLO_API int32_t zel_marlo_sendRawPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, const char *host,
                                              int32_t port) {
  return zel::apiStatus(psdMsg, 2125, [&](Msg &msg) { return zel::sendRawTag(msg, host, port); });
}

ZEL_MARLO_API int32_t zel_marlo_getPsdMsgLength(ZEL_MARLO_PSD_MSG_t *psdMsg, uint32_t *length) {
  return zel::apiStatus(psdMsg, 1436, [&](Msg &msg) { return zel::messageLength(msg, length); });
}

}  // extern "C"
