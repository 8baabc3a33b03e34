// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/handle.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "api/vesk_link.hpp"

namespace zel {

namespace {

// The blocks allocated and not yet deleted. Membership is decided by address alone, so the
// check never reads memory that is not a live block. Never destroyed: a call at process exit
// still finds it.
struct LiveHandles {
  std::mutex mutex;
  std::unordered_set<const Msg *> blocks;
};

LiveHandles &liveHandles() {
  static auto *live = new LiveHandles;
  return *live;
}

}  // namespace

void initPsdMsg(Msg &msg, PsdContent *source) {
  msg.self = &msg;
  msg.vesk = nullptr;
  if (source != nullptr)
    msg.edit() = std::move(*source);
  else
    msg.edit() = PsdContent{};
  msg.error.clear();
  msg.container.reset();
  msg.rxPayload.reset();
  msg.setEncoding(ZEL_MARLO_ID3_ENC_ISO_8859_1);

  // The first block of the process sets the shared handle up (and carries a failure's report).
  msg.vesk = sharedVesk(msg.error);
}

void releasePsdMsg(Msg &msg) {
  msg.edit() = PsdContent{};
  msg.error.clear();
  msg.container.reset();
  msg.rxPayload.reset();
  msg.vesk = nullptr;
  msg.setEncoding(0);
  msg.self = nullptr;
}

Msg *newPsdMsg() {
  auto *msg = new (std::nothrow) Msg{};
  if (msg == nullptr) return nullptr;
  try {
    LiveHandles &live = liveHandles();
    std::lock_guard lock(live.mutex);
    live.blocks.insert(msg);
  } catch (const std::bad_alloc &) {
    delete msg;
    return nullptr;
  }
  initPsdMsg(*msg);
  return msg;
}

Msg *takeBack(Msg *handle, int site) {
  {
    LiveHandles &live = liveHandles();
    std::lock_guard lock(live.mutex);
    auto it = live.blocks.find(handle);
    if (it != live.blocks.end() && handle->self == handle) {
      live.blocks.erase(it);
      return handle;
    }
  }
  logBadHandle(site, handle);
  return nullptr;
}

bool isValid(const Msg *handle) {
  if (handle == nullptr) return false;
  LiveHandles &live = liveHandles();
  std::lock_guard lock(live.mutex);
  // Only a live block is read; its mark is clear only inside a clear or a delete.
  return live.blocks.count(handle) != 0 && handle->self == handle;
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
