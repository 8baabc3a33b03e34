// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/handle.hpp"

#include <cstdlib>
#include <cstring>

namespace zel {

namespace {

// The VESK handle every message handle of the process borrows; set up once, never released.
veskHandle *sharedVeskHandle = nullptr;
bool sharedVeskReady = false;

void setUpSharedVesk(Msg &msg) {
  const uint8_t off = 0;
  if (zel_vesk_init(VESK_TYPE_AFL_CL, &sharedVeskHandle) != VESK_OK) {
    reportPsdError(msg.error, E_VESK_INIT, 363, "could not init the vesk handle ");
  } else {
    // The library numbers nothing: every packet carries the sequence number its descriptor
    // gives, and any received number is accepted.
    if (zel_vesk_ctrl(sharedVeskHandle, VESK_CTRL_CL_SEQ, &off) != VESK_OK)
      reportPsdError(msg.error, E_VESK_INIT, 383, "zel_vesk_ctrl fail [ %s ]",
                     zel_vesk_errstr(sharedVeskHandle));
    if (zel_vesk_ctrl(sharedVeskHandle, VESK_CTRL_AFL_SEQ, &off) != VESK_OK)
      reportPsdError(msg.error, E_VESK_INIT, 399, "zel_vesk_ctrl fail [ %s ]",
                     zel_vesk_errstr(sharedVeskHandle));
  }
  sharedVeskReady = true;
}

}  // namespace

void initPsdMsg(Msg &msg, PsdContent *source) {
  msg.self = &msg;
  msg.vesk = nullptr;
  if (source != nullptr)
    msg.content = std::move(*source);
  else
    msg.content = PsdContent{};
  msg.error.clear();
  msg.container.reset();
  msg.rxPayload.reset();
  msg.id3TextEncoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
  msg.checkedLength.reset();

  if (!sharedVeskReady) setUpSharedVesk(msg);
  msg.vesk = sharedVeskHandle;
}

void releasePsdMsg(Msg &msg) {
  msg.content = PsdContent{};
  msg.error.clear();
  msg.container.reset();
  msg.rxPayload.reset();
  msg.vesk = nullptr;
  msg.id3TextEncoding = 0;
  msg.checkedLength.reset();
  msg.self = nullptr;
}

bool isValid(const Msg *handle) {
  if (handle == nullptr) return false;
  // The mark is read as raw bytes so that a pointer into the middle of a block is merely
  // rejected.
  const void *first = nullptr;
  std::memcpy(&first, static_cast<const void *>(handle), sizeof first);
  return first == handle;
}

Msg *checked(Msg *handle, int site) {
  if (isValid(handle)) return handle;
  logBadHandle(site, handle);
  return nullptr;
}

void reportOutOfMemory(Msg &msg, int site) {
  reportPsdError(msg.error, E_SYSTEM, site, "out of memory ");
}

char *dupForCaller(const Text &text) {
  if (!text) return nullptr;
  auto *copy = static_cast<char *>(std::malloc(text->size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text->data(), text->size());
  copy[text->size()] = '\0';
  return copy;
}

}  // namespace zel
