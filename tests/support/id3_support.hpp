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
#include "support/packet_of.hpp"
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

// The builders of wire_bytes.hpp; tag() is its id3() under the name these tests use.
using wire::frame2;
using wire::frame3;
using wire::frame4;
inline Bytes tag(const Bytes &body, int major = 3, int flags = 0) {
  return wire::id3(body, static_cast<uint8_t>(major), static_cast<uint8_t>(flags));
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
