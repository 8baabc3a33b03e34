// SPDX-License-Identifier: GPL-2.0-or-later
// The control block behind a ZEL_MARLO_PSD_MSG_t handle, the handle check, and the guards that
// keep C++ failures from crossing the C boundary.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"
#include "api/zel_marlo.h"
#include "vesk/zel_vesk.hpp"

// A handle is valid when the library allocated it and has not deleted it yet (it keeps the
// set of its live blocks), and its first word holds its own address.
//
// The content and the text encoding are read through content() and encoding() and changed only
// through edit() and setEncoding(), which forget the tag length last found valid: while that
// length is known, encoding skips the rules, so no change may bypass forgetting it.
struct ZEL_MARLO_PSD_MSG_s {
  ZEL_MARLO_PSD_MSG_s *self = nullptr;
  zel::ErrorRecord error;
  std::optional<std::vector<uint8_t>> container;  // PSD container prepared for one send
  std::optional<std::vector<uint8_t>> rxPayload;  // PSD container of the last received packet
  veskHandle *vesk = nullptr;                     // borrowed: the library-wide handle

  const zel::PsdContent &content() const { return content_; }
  int32_t encoding() const { return encoding_; }
  // The content, about to change.
  zel::PsdContent &edit() {
    checkedLength_.reset();
    return content_;
  }
  void setEncoding(int32_t encoding) {
    checkedLength_.reset();  // the length depends on the encoding
    encoding_ = encoding;
  }

  // The tag length of the content and encoding as last found valid, if they have not changed
  // since.
  const std::optional<uint32_t> &checkedLength() const { return checkedLength_; }
  void rememberValid(uint32_t length) { checkedLength_ = length; }

 private:
  zel::PsdContent content_;
  int32_t encoding_ = ZEL_MARLO_ID3_ENC_ISO_8859_1;
  std::optional<uint32_t> checkedLength_;
};

namespace zel {

using Msg = ZEL_MARLO_PSD_MSG_t;

// (Re)initialises a block: default switches and no values, or the content taken over from
// source (moved, not copied); empty error record and containers; encoding 0; nothing found valid
// yet; the shared VESK
// handle, set up on the first call of the process (a failed set-up is reported into msg).
void initPsdMsg(Msg &msg, PsdContent *source = nullptr);

// Releases everything the block owns and clears its validity mark. Never touches the VESK handle.
void releasePsdMsg(Msg &msg);

// A new, initialised block, known to the handle check from now on; null when out of memory.
Msg *newPsdMsg();

// The block behind a valid handle, no longer known to the handle check (the caller releases
// and frees it); null after logging the BAD HANDLE line with site.
Msg *takeBack(Msg *handle, int site);

// The block behind a valid handle, or null after logging the BAD HANDLE line with site.
Msg *checked(Msg *handle, int site);

// Whether handle is valid, without logging anything.
bool isValid(const Msg *handle);

// Reports an allocation failure that has no report of its own.
void reportOutOfMemory(Msg &msg, int site);

// The handle check, then fn(msg) -> bool mapped to 1/2. An allocation failure inside fn is
// reported as E_SYSTEM and gives 2.
template <typename F>
int32_t apiStatus(Msg *handle, int site, F &&fn) noexcept {
  Msg *msg = checked(handle, site);
  if (msg == nullptr) return ZEL_MARLO_FAILURE;
  try {
    return fn(*msg) ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE;
  } catch (const std::bad_alloc &) {
    reportOutOfMemory(*msg, site);
    return ZEL_MARLO_FAILURE;
  }
}

// The handle check, then fn(msg) as the value; failed: onFailure.
template <typename T, typename F>
T apiValue(Msg *handle, int site, T onFailure, F &&fn) noexcept {
  Msg *msg = checked(handle, site);
  if (msg == nullptr) return onFailure;
  try {
    return fn(*msg);
  } catch (const std::bad_alloc &) {
    reportOutOfMemory(*msg, site);
    return onFailure;
  }
}

// A malloc'ed, NUL-terminated copy for the caller to free(); null when text is absent or no
// memory is left.
char *dupForCaller(const Text &text);

}  // namespace zel
