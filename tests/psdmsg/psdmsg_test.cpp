// SPDX-License-Identifier: GPL-2.0-or-later
// The PSD container: its little-endian header, the extension header and bounded parsing.
#include "psdmsg/psdmsg.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};
using Block = std::unique_ptr<uint8_t, FreeDeleter>;

// psdmsg_create into a block that frees itself; the container's bytes come back as well.
struct Created {
  int32_t rc = 0;
  Block block;
  uint32_t length = 0;
  Bytes bytes() const { return Bytes(block.get(), block.get() + length); }
};

Created create(const Bytes &payload, uint8_t ext = 0, uint16_t psdParam = 1, uint16_t contentId = 7,
               uint8_t type = 0, uint8_t format = 1) {
  Created c;
  uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
  c.length = static_cast<uint32_t>(payload.size());
  c.rc = psdmsg_create(&out, payload.data(), type, format, ext, psdParam, contentId, &c.length);
  c.block.reset(out);
  return c;
}

struct Parsed {
  int32_t rc = 0;
  std::string printed;
  const uint8_t *payload = nullptr;
  uint8_t reserved = 9, type = 9, format = 9, options = 9;
  uint16_t param = 9, contentId = 9;
  uint32_t payloadLength = 9;
  size_t payloadOffset() const { return static_cast<size_t>(payload - base); }
  const uint8_t *base = nullptr;
  std::unique_ptr<uint8_t[]> copy;
};

// Parses the first count bytes of container from an allocation of exactly that size, with
// standard output captured.
Parsed parse(const Bytes &container, size_t count) {
  Parsed p;
  p.copy = std::make_unique<uint8_t[]>(count);
  if (count != 0) std::memcpy(p.copy.get(), container.data(), count);
  p.base = p.copy.get();
  testing::internal::CaptureStdout();
  p.rc = psdmsg_parse(p.copy.get(), static_cast<uint32_t>(count), &p.payload, &p.reserved, &p.type,
                      &p.format, &p.options, &p.param, &p.contentId, &p.payloadLength);
  p.printed = testing::internal::GetCapturedStdout();
  return p;
}
Parsed parse(const Bytes &container) { return parse(container, container.size()); }

Bytes tag(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(0xA0 + i);
  return b;
}

TEST(PsdContainer, LibraryContainerForA100ByteTag) {
  const Bytes id3 = tag(100);
  const Created c = create(id3, 0, 1, 7);
  ASSERT_EQ(c.rc, 1);
  ASSERT_EQ(c.length, 112u);
  const Bytes header = {
      0x00,                    // psdReserved
      0x00,                    // psdType: PSD
      0x01,                    // psdFormat: ID3
      0x00,                    // psdOptions: no extension header
      0x01, 0x00,              // psdParam
      0x07, 0x00,              // contentId
      0x64, 0x00, 0x00, 0x00,  // payloadLength 100
  };
  const Bytes bytes = c.bytes();
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), header);
  EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.end()), id3);

  const Parsed p = parse(bytes);
  ASSERT_EQ(p.rc, 1);
  EXPECT_EQ(p.printed, "");
  EXPECT_EQ(p.type, 0);
  EXPECT_EQ(p.format, 1);
  EXPECT_EQ(p.options, 0);
  EXPECT_EQ(p.param, 1);
  EXPECT_EQ(p.contentId, 7);
  EXPECT_EQ(p.payloadLength, 100u);
  EXPECT_EQ(p.payloadOffset(), 12u);
}

TEST(PsdContainer, SixteenBitFieldsAreLittleEndian) {
  const Created c = create(tag(3), 0, 0xABCD, 0x1234, 0x05, 0x06);
  ASSERT_EQ(c.rc, 1);
  EXPECT_EQ(c.bytes(), (Bytes{0x00, 0x05, 0x06, 0x00, 0xCD, 0xAB, 0x34, 0x12, 0x03, 0x00, 0x00,
                              0x00, 0xA0, 0xA1, 0xA2}));
  const Parsed p = parse(c.bytes());
  ASSERT_EQ(p.rc, 1);
  EXPECT_EQ(p.contentId, 0x1234);
  EXPECT_EQ(p.param, 0xABCD);
  EXPECT_EQ(p.type, 5);  // any type and format are delivered; the callers judge them
  EXPECT_EQ(p.format, 6);
}

TEST(PsdContainer, EmptyPayloadIsTheHeaderAlone) {
  Created c;
  uint8_t *out = nullptr;
  c.length = 0;
  ASSERT_EQ(psdmsg_create(&out, nullptr, 0, 1, 0, 1, 2, &c.length), 1);
  c.block.reset(out);
  EXPECT_EQ(c.length, 12u);
  const Parsed p = parse(c.bytes());
  ASSERT_EQ(p.rc, 1);
  EXPECT_EQ(p.payloadLength, 0u);
  EXPECT_EQ(p.payloadOffset(), 12u);
}

TEST(PsdContainer, ExtensionHeaderOnRequest) {
  const Created c = create(tag(2), 3);
  ASSERT_EQ(c.rc, 1);
  ASSERT_EQ(c.length, 12u + 7 + 2);
  const Bytes bytes = c.bytes();
  EXPECT_EQ(bytes[3], 1);  // psdOptions
  EXPECT_EQ(Bytes(bytes.begin() + 12, bytes.end()),
            (Bytes{0x07, 0x00, 0x00, 0x00,  // extLength = k + 4
                   0x01, 0x02, 0x03,        // 1 .. k
                   0xA0, 0xA1}));

  const Parsed p = parse(bytes);
  ASSERT_EQ(p.rc, 1);
  EXPECT_EQ(p.printed, "   options flag set; ext = 0x7 (7)");
  EXPECT_EQ(p.options, 1);
  EXPECT_EQ(p.payloadOffset(), 19u);

  // The largest request still fits the one byte a reader looks at.
  const Created widest = create(tag(1), 251);
  ASSERT_EQ(widest.rc, 1);
  EXPECT_EQ(widest.length, 12u + 255 + 1);
  EXPECT_EQ(parse(widest.bytes()).payloadOffset(), 12u + 255);
}

TEST(PsdContainer, CreateRefusesWhatItCannotBuild) {
  uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
  uint32_t length = 1;
  const uint8_t byte = 0;
  EXPECT_EQ(psdmsg_create(&out, &byte, 0, 1, 252, 1, 1, &length), 2);  // k + 4 overflows a byte
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(psdmsg_create(&out, nullptr, 0, 1, 0, 1, 1, &length), 2);  // bytes promised, none given
  EXPECT_EQ(psdmsg_create(nullptr, &byte, 0, 1, 0, 1, 1, &length), 2);
  EXPECT_EQ(psdmsg_create(&out, &byte, 0, 1, 0, 1, 1, nullptr), 2);
  length = 0xFFFFFFF8u;
  EXPECT_EQ(psdmsg_create(&out, &byte, 0, 1, 0, 1, 1, &length), 2);  // longer than 32 bits can say
}

Bytes header(uint8_t options, uint32_t payloadLength) {
  return {0x00,
          0x00,
          0x01,
          options,
          0x01,
          0x00,
          0x07,
          0x00,
          static_cast<uint8_t>(payloadLength),
          static_cast<uint8_t>(payloadLength >> 8),
          static_cast<uint8_t>(payloadLength >> 16),
          static_cast<uint8_t>(payloadLength >> 24)};
}

Bytes operator+(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PsdContainer, ParseCases) {
  struct Case {
    const char *name;
    Bytes container;
    int32_t rc;
    std::string printed;
    size_t payloadOffset;  // on success
  };
  const Case cases[] = {
      {"extension of 4", header(1, 2) + Bytes{4, 0, 0, 0, 0xAA, 0xBB}, 1,
       "   options flag set; ext = 0x4 (4)", 16},
      {"extension of 3", header(1, 2) + Bytes{3, 0, 0, 0xAA, 0xBB}, 2,
       "   options flag set; ext = 0x3 (3) psdmsg_parse header extension length error ", 0},
      {"only byte 12 counts", header(1, 0) + Bytes{0x05, 0x01, 0, 0, 9}, 1,
       "   options flag set; ext = 0x5 (5)", 17},
      {"options 2 is no extension", header(2, 2) + Bytes{0xAA, 0xBB}, 1, "", 12},
      {"header cut short", Bytes(11, 0), 2, "", 0},
      {"extension length byte missing", header(1, 0), 2, "", 0},
      {"extension past the end", header(1, 0) + Bytes{8, 0, 0, 0}, 2,
       "   options flag set; ext = 0x8 (8)", 0},
      {"payload past the end", header(0, 3) + Bytes{0xAA, 0xBB}, 2, "", 0},
      {"payload length all ones", header(0, 0xFFFFFFFF) + Bytes{0xAA}, 2, "", 0},
      {"shorter payload than bytes", header(0, 1) + Bytes{0xAA, 0xBB}, 1, "", 12},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed p = parse(c.container);
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_EQ(p.printed, c.printed);
    if (c.rc == 1) {
      EXPECT_EQ(p.payloadOffset(), c.payloadOffset);
    } else {
      EXPECT_EQ(p.payload, nullptr);
    }
  }
}

TEST(PsdContainer, FieldsReadBeforeAFailureStayFilled) {
  const Parsed p = parse(header(1, 2) + Bytes{3, 0, 0, 0xAA, 0xBB});
  ASSERT_EQ(p.rc, 2);
  EXPECT_EQ(p.options, 1);
  EXPECT_EQ(p.contentId, 7);
  EXPECT_EQ(p.payloadLength, 2u);

  const Parsed cut = parse(Bytes(5, 0xFF));
  ASSERT_EQ(cut.rc, 2);
  EXPECT_EQ(cut.reserved, 0);  // cleared, nothing read
  EXPECT_EQ(cut.payloadLength, 0u);
}

TEST(PsdContainer, NullContainerIsReported) {
  const uint8_t *payload = nullptr;
  uint8_t reserved = 9, type = 9, format = 9, options = 9;
  uint16_t param = 9, contentId = 9;
  uint32_t payloadLength = 9;
  testing::internal::CaptureStdout();
  EXPECT_EQ(psdmsg_parse(nullptr, 100, &payload, &reserved, &type, &format, &options, &param,
                         &contentId, &payloadLength),
            2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "   psdmsg_parse input NULL ");
  EXPECT_EQ(type, 0);
  EXPECT_EQ(contentId, 0);
  EXPECT_EQ(payloadLength, 0u);
}

// Every prefix of valid containers fails without reading past it.
TEST(PsdContainer, EveryTruncationFailsCleanly) {
  for (uint8_t ext : {0, 5}) {
    const Created c = create(tag(20), ext);
    ASSERT_EQ(c.rc, 1);
    const Bytes bytes = c.bytes();
    for (size_t n = 0; n < bytes.size(); ++n) {
      SCOPED_TRACE(n);
      const Parsed p = parse(bytes, n);
      EXPECT_EQ(p.rc, 2);
      EXPECT_EQ(p.payload, nullptr);
    }
    EXPECT_EQ(parse(bytes).rc, 1);
  }
}

}  // namespace
