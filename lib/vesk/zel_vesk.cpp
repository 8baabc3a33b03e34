// SPDX-License-Identifier: GPL-2.0-or-later
// The VESK handle, its switches and the module's small queries.
#include "vesk/zel_vesk.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "vesk/vesk_codec.hpp"
#include "vesk/zel_crc.hpp"

namespace zel::vesk {

void setError(char *errText, int site, const char *tailFormat, ...) {
  int n = std::snprintf(errText, VESK_ERRTEXT_LEN, "%s:%04d [", kModuleFile, site);
  if (n < 0 || static_cast<uint32_t>(n) >= VESK_ERRTEXT_LEN) return;
  va_list args;
  va_start(args, tailFormat);
  std::vsnprintf(errText + n, VESK_ERRTEXT_LEN - static_cast<uint32_t>(n), tailFormat, args);
  va_end(args);
}

}  // namespace zel::vesk

uint32_t zel_vesk_init(int32_t type, veskHandle **handle) {
  if (handle == nullptr) return VESK_ERR;
  *handle = nullptr;
  if (!zel::vesk::isHandleType(type)) return VESK_ERR;
  if (type != VESK_TYPE_CL && zel_crc_init() != 1) return VESK_ERR;

  auto *h = new (std::nothrow) veskHandle{};
  if (h == nullptr) return VESK_ERR;
  h->type = type;
  if (type != VESK_TYPE_AFL) h->clSeqOn = 1;
  if (type != VESK_TYPE_CL) {
    h->aflSeqOn = 1;
    h->crcOn = 1;
  }
  *handle = h;
  return VESK_OK;
}

uint32_t zel_vesk_ctrl(veskHandle *handle, int32_t control, const uint8_t *value) {
  if (handle == nullptr || !zel::vesk::isHandleType(handle->type)) return VESK_ERR;

  // Per control: the switch it sets, the handle type that lacks it, and its two error sites.
  struct Control {
    uint8_t veskHandle::*field;
    int32_t missingIn;
    int nullSite;
    int typeSite;
  };
  static constexpr Control controls[] = {
      {&veskHandle::clSeqOn, VESK_TYPE_AFL, 1207, 1231},
      {&veskHandle::aflSeqOn, VESK_TYPE_CL, 1246, 1270},
      {&veskHandle::crcOn, VESK_TYPE_CL, 1285, 1309},
  };
  if (control < VESK_CTRL_CL_SEQ || control > VESK_CTRL_CRC) return VESK_ERR;
  const Control &c = controls[control];

  if (value == nullptr) {
    zel::vesk::setError(handle->errText, c.nullSite, "argument can't be null]");
    return VESK_ERR;
  }
  if (handle->type == c.missingIn) {
    zel::vesk::setError(handle->errText, c.typeSite, "invlaid control(%d) for %d type veskHandle]",
                        control, handle->type);
    return VESK_ERR;
  }
  // On an AFL-only handle the switch decides what the next pack sends; the next unpack sets it
  // again from the packet it receives.
  handle->*c.field = *value;
  return VESK_OK;
}

const char *zel_vesk_errstr(const veskHandle *handle) {
  if (handle == nullptr || !zel::vesk::isHandleType(handle->type)) return nullptr;
  return handle->errText;
}

uint32_t zel_vesk_overhead(const veskHandle *handle) {
  if (handle == nullptr) return 0;
  switch (handle->type) {
    case VESK_TYPE_CL:
      return 12;
    case VESK_TYPE_AFL:
      return 32;
    case VESK_TYPE_AFL_CL:
      return 44;
    default:
      return 0;
  }
}

uint32_t zel_vesk_free(veskHandle **handle) {
  if (handle == nullptr) return VESK_ERR;
  delete *handle;
  *handle = nullptr;
  return VESK_OK;
}

int32_t zel_vesk_version(char *version, char *build) {
  std::strcpy(version, "1.5");
  std::strcpy(build, "Jul 17 2008-11:26:24");
  return 1;
}
