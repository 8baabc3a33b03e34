// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/vesk_link.hpp"

#include <cstdio>

namespace zel {

namespace {

// The VESK handle every message handle of the process borrows; set up once, never released.
// Its counters and error text change with every pack and unpack: sharedVeskMutex serialises
// those calls.
veskHandle *sharedVeskHandle = nullptr;
std::once_flag sharedVeskOnce;
std::mutex sharedVeskMutex;

void setUpSharedVesk(ErrorRecord &error) {
  const uint8_t off = 0;
  if (zel_vesk_init(VESK_TYPE_AFL_CL, &sharedVeskHandle) != VESK_OK) {
    reportPsdError(error, E_VESK_INIT, 363, "could not init the vesk handle ");
  } else {
    // The library numbers nothing: every packet carries the sequence number its descriptor
    // gives, and any received number is accepted.
    if (zel_vesk_ctrl(sharedVeskHandle, VESK_CTRL_CL_SEQ, &off) != VESK_OK)
      reportPsdError(error, E_VESK_INIT, 383, "zel_vesk_ctrl fail [ %s ]",
                     zel_vesk_errstr(sharedVeskHandle));
    if (zel_vesk_ctrl(sharedVeskHandle, VESK_CTRL_AFL_SEQ, &off) != VESK_OK)
      reportPsdError(error, E_VESK_INIT, 399, "zel_vesk_ctrl fail [ %s ]",
                     zel_vesk_errstr(sharedVeskHandle));
  }
}

// The error text of the last failed pack or unpack on this thread, copied while the handle
// was still locked: by the time of the report the shared handle's own text may be another
// thread's.
thread_local char lastVeskText[VESK_ERRTEXT_LEN];

}  // namespace

void keepVeskText(const veskHandle *vesk) {
  const char *text = zel_vesk_errstr(vesk);
  std::snprintf(lastVeskText, sizeof lastVeskText, "%s", text != nullptr ? text : "");
}

veskHandle *sharedVesk(ErrorRecord &error) {
  std::call_once(sharedVeskOnce, [&error] { setUpSharedVesk(error); });
  return sharedVeskHandle;
}

std::unique_lock<std::mutex> lockVesk(const veskHandle *vesk) {
  if (vesk != nullptr && vesk == sharedVeskHandle) return std::unique_lock(sharedVeskMutex);
  return {};
}

const char *veskText(const veskHandle *vesk) { return vesk != nullptr ? lastVeskText : ""; }

TempClHandle::TempClHandle(bool wanted) {
  if (wanted && zel_vesk_init(VESK_TYPE_CL, &h) == VESK_OK) {
    const uint8_t off = 0;
    zel_vesk_ctrl(h, VESK_CTRL_CL_SEQ, &off);
  }
}

TempClHandle::~TempClHandle() { zel_vesk_free(&h); }

}  // namespace zel
