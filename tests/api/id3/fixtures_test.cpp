// SPDX-License-Identifier: GPL-2.0-or-later
// Tags written by an independent ID3 implementation (mutagen, see fixtures/make_fixtures.py)
// load through the file operation with the values it wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/id3_support.hpp"

namespace {

using zel::test::Bytes;
using zel::test::Handle;
using zel::test::own;

const std::string kFixtures = ZEL_ID3_FIXTURES;
const char kUnicodeTitle[] = "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80";

TEST(Id3Fixtures, MutagenTagsInEveryEncoding) {
  struct Case {
    const char *file, *title;
    int32_t encoding;
  } cases[] = {
      {"mutagen_v23_enc0.id3", "Caf\xE9", 0},     {"mutagen_v23_enc1.id3", kUnicodeTitle, 1},
      {"mutagen_v24_enc0.id3", "Caf\xE9", 0},     {"mutagen_v24_enc1.id3", kUnicodeTitle, 1},
      {"mutagen_v24_enc2.id3", kUnicodeTitle, 2}, {"mutagen_v24_enc3.id3", kUnicodeTitle, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    Handle msg;
    ASSERT_EQ(zel_marlo_loadId3PsdFile(msg, (kFixtures + "/" + c.file).c_str()), ZEL_MARLO_SUCCESS)
        << msg.errorText();
    EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), c.title);
    EXPECT_EQ(own(zel_marlo_getPsdArtist(msg)), "Artist");
    EXPECT_EQ(own(zel_marlo_getPsdAlbum(msg)), "Album");
    EXPECT_EQ(own(zel_marlo_getPsdGenre(msg)), "Rock");
    EXPECT_EQ(own(zel_marlo_getPsdCommentTitle(msg)), "Note");
    EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg)), "two\nlines");
    EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg)), "http://zel.example/ufid");
    uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(Bytes(id, id + zel_marlo_getPsdUfidIdentifierSize(msg)),
              zel::test::bytes({0x00, 0x01, 0xFE, 0xFF}));
    std::free(id);
    EXPECT_EQ(msg.encoding(), c.encoding);
  }
}

TEST(Id3Fixtures, MutagenCommercialFrameWithPadding) {
  Handle msg;
  ASSERT_EQ(zel_marlo_loadId3PsdFile(msg, (kFixtures + "/mutagen_v23_comr_padded.id3").c_str()),
            ZEL_MARLO_SUCCESS)
      << msg.errorText();
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "Offer");
  EXPECT_EQ(own(zel_marlo_getPsdCommercialPrice(msg)), "USD10.0");
  EXPECT_EQ(own(zel_marlo_getPsdCommentValidUntil(msg)), "20041231");
  EXPECT_EQ(own(zel_marlo_getPsdCommentContactUrl(msg)), "http://shop.example");
  EXPECT_EQ(own(zel_marlo_getPsdCommentRecvAs(msg)), "2");
  EXPECT_EQ(own(zel_marlo_getPsdCommentSellerName(msg)), "Seller");
  EXPECT_EQ(own(zel_marlo_getPsdCommentProductDesc(msg)), "Product");
}

}  // namespace
