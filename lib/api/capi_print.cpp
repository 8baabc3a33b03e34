// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: the message as labelled text.
#include <cstdlib>
#include <ctime>

#include "api/handle.hpp"
#include "api/print.hpp"
#include "api/road.hpp"

using zel::Msg;

extern "C" {

ZEL_MARLO_API char *zel_marlo_sprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enabledOnly) {
  return zel::apiValue(psdMsg, 2994, static_cast<char *>(nullptr),
                       [&](Msg &msg) { return zel::sprintMessage(msg, enabledOnly); });
}

ZEL_MARLO_API int32_t zel_marlo_fprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, FILE *stream,
                                             uint8_t enabledOnly) {
  return zel::apiStatus(psdMsg, 3154, [&](Msg &msg) {
    char *text = zel::sprintMessage(msg, enabledOnly);
    if (text == nullptr) return false;
    uint32_t length = 0;
    if (!zel::messageLength(msg, &length)) {
      std::free(text);
      return false;
    }
    const std::time_t now = std::time(nullptr);
    char stamp[64];
    const char *when = ctime_r(&now, stamp);  // "Wed Jun 30 21:49:08 1993\n"; own buffer per call
    FILE *out = stream != nullptr ? stream : stdout;
    std::fprintf(out, "PSD message of length %d bytes printed on %s%s\n", static_cast<int>(length),
                 when != nullptr ? when : "\n", text);
    std::fflush(out);
    std::free(text);
    return true;
  });
}

}  // extern "C"
