// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers of the ID3 tests: an owned message handle, encoded tags as byte vectors, and a small
// builder for the tags the tests feed to the decoder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "api/zel_marlo.h"
#include "support/api_text.hpp"
#include "support/wire_bytes.hpp"

namespace zel::test {

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

// A message handle for one test.
class Handle {
 public:
  Handle() { EXPECT_EQ(zel_marlo_allocPsdMsg(&msg_), ZEL_MARLO_SUCCESS); }
  ~Handle() { zel_marlo_deletePsdMsg(msg_); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ZEL_MARLO_PSD_MSG_t *get() const { return msg_; }
  operator ZEL_MARLO_PSD_MSG_t *() const { return msg_; }

  int32_t errorNum() const { return zel_marlo_getErrorNum(msg_); }
  std::string errorText() const {
    const char *text = zel_marlo_getErrorStr(msg_);
    return text != nullptr ? text : "<none>";
  }
  int32_t encoding() const {
    int32_t e = -1;
    zel_marlo_getId3TextEncoding(msg_, &e);
    return e;
  }

 private:
  ZEL_MARLO_PSD_MSG_t *msg_ = nullptr;
};

// The message's tag through zel_marlo_getId3PsdMsg; empty optional-like flag on failure.
struct Encoded {
  bool ok = false;
  Bytes tag;
};

inline Encoded encode(ZEL_MARLO_PSD_MSG_t *msg) {
  ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
  Encoded out;
  out.ok = zel_marlo_getId3PsdMsg(msg, &id3) == ZEL_MARLO_SUCCESS;
  if (out.ok) {
    out.tag.assign(id3->data, id3->data + id3->length);
    zel_marlo_freeId3PsdMsg(id3);
  }
  return out;
}

// zel_marlo_setId3PsdMsg on a copy of the bytes in a block of their own size, so that a read
// past them is seen by the sanitizers.
inline int32_t decode(ZEL_MARLO_PSD_MSG_t *msg, const Bytes &tag) {
  uint8_t *copy = static_cast<uint8_t *>(std::malloc(tag.empty() ? 1 : tag.size()));
  if (!tag.empty()) std::copy(tag.begin(), tag.end(), copy);
  const ZEL_MARLO_ID3_PSD_MSG_t record{static_cast<uint32_t>(tag.size()), copy};
  const int32_t result = zel_marlo_setId3PsdMsg(msg, &record);
  std::free(copy);
  return result;
}

// ---- building tags ----------------------------------------------------------------------------

// A tag header of the given version and flags around body.
inline Bytes tag(const Bytes &body, int major = 3, int flags = 0) {
  return bytes("ID3") + bytes({major, 0, flags}) + syncsafe(body.size()) + body;
}

// A v2.3 frame (plain 32-bit size).
inline Bytes frame3(const std::string &id, const Bytes &data, int flags = 0) {
  return bytes(id) + be32(data.size()) + bytes({flags >> 8, flags & 0xFF}) + data;
}

// A v2.4 frame (syncsafe size).
inline Bytes frame4(const std::string &id, const Bytes &data, int flags = 0) {
  return bytes(id) + syncsafe(data.size()) + bytes({flags >> 8, flags & 0xFF}) + data;
}

// A v2.2 frame (three-letter id, 24-bit size).
inline Bytes frame2(const std::string &id, const Bytes &data) {
  const size_t n = data.size();
  return bytes(id) +
         bytes({static_cast<int>(n >> 16 & 0xFF), static_cast<int>(n >> 8 & 0xFF),
                static_cast<int>(n & 0xFF)}) +
         data;
}

// "aa bb cc" for messages.
inline std::string hex(const Bytes &b) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < b.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    out += buf;
  }
  return out;
}

}  // namespace zel::test
