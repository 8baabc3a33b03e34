// The whole receive road on arbitrary bytes: unpack as a two-layer or CL-only packet (chosen by
// the first byte), then parse the container and decode its ID3 tag.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "api/zel_marlo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const ZEL_MARLO_VESK_TYPE_t kind = data[0] & 1 ? ZEL_MARLO_VESK_TYPE_CL : ZEL_MARLO_VESK_TYPE_AFL_CL;
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return 0;
  ZEL_MARLO_MSG_ID_t id = -1;
  if (zel_marlo_recvPsdMsgFromBuffer(msg, data + 1, static_cast<uint32_t>(size - 1), kind, &id) ==
          ZEL_MARLO_SUCCESS &&
      id == ZEL_MARLO_MSG_ID_PSD) {
    uint16_t contentId = 0;
    if (zel_marlo_parsePsdMsg(msg, &contentId) == ZEL_MARLO_SUCCESS) {
      char *text = zel_marlo_sprintPsdMsg(msg, 0);
      std::free(text);
    }
  }
  zel_marlo_deletePsdMsg(msg);
  return 0;
}
