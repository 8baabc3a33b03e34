// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/zel_marlo.h"
#include "support/api_text.hpp"

namespace {

using zel::test::errorText;
using zel::test::own;

class Fields : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zel_marlo_allocPsdMsg(&msg_), ZEL_MARLO_SUCCESS); }
  void TearDown() override { zel_marlo_deletePsdMsg(msg_); }
  ZEL_MARLO_PSD_MSG_t *msg_ = nullptr;
};

TEST_F(Fields, EachTextSetterFeedsItsReader) {
  zel_marlo_setPsdTitle(msg_, "Title");
  zel_marlo_setPsdArtist(msg_, "Artist");
  zel_marlo_setPsdAlbum(msg_, "Album");
  zel_marlo_setPsdGenre(msg_, "Genre");
  zel_marlo_setPsdComment(msg_, "CTitle", "CDesc");
  zel_marlo_setPsdCommercial(msg_, "USD10.0", "20041231", "http://x", "0", "Seller", "Product");
  zel_marlo_setPsdUfid(msg_, "owner", nullptr, 0);

  const std::pair<char *(*)(ZEL_MARLO_PSD_MSG_t *), const char *> readers[] = {
      {zel_marlo_getPsdTitle, "Title"},
      {zel_marlo_getPsdArtist, "Artist"},
      {zel_marlo_getPsdAlbum, "Album"},
      {zel_marlo_getPsdGenre, "Genre"},
      {zel_marlo_getPsdCommentTitle, "CTitle"},
      {zel_marlo_getPsdCommentDesc, "CDesc"},
      {zel_marlo_getPsdCommercialPrice, "USD10.0"},
      {zel_marlo_getPsdCommentValidUntil, "20041231"},
      {zel_marlo_getPsdCommentContactUrl, "http://x"},
      {zel_marlo_getPsdCommentRecvAs, "0"},
      {zel_marlo_getPsdCommentSellerName, "Seller"},
      {zel_marlo_getPsdCommentProductDesc, "Product"},
      {zel_marlo_getPsdUfidOwnerId, "owner"},
  };
  for (auto [reader, expected] : readers) EXPECT_EQ(own(reader(msg_)), expected);
}

TEST_F(Fields, EmptyOrNullTextMakesTheFieldAbsent) {
  zel_marlo_setPsdTitle(msg_, "x");
  EXPECT_EQ(zel_marlo_setPsdTitle(msg_, ""), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_getPsdTitle(msg_), nullptr);
  zel_marlo_setPsdTitle(msg_, "x");
  EXPECT_EQ(zel_marlo_setPsdTitle(msg_, nullptr), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_getPsdTitle(msg_), nullptr);

  // The price alone: the five other commercial fields become absent.
  zel_marlo_setPsdCommercial(msg_, "a", "b", "c", "d", "e", "f");
  zel_marlo_setPsdCommercial(msg_, "USD1", nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(own(zel_marlo_getPsdCommercialPrice(msg_)), "USD1");
  for (auto reader : {zel_marlo_getPsdCommentValidUntil, zel_marlo_getPsdCommentContactUrl,
                      zel_marlo_getPsdCommentRecvAs, zel_marlo_getPsdCommentSellerName,
                      zel_marlo_getPsdCommentProductDesc})
    EXPECT_EQ(reader(msg_), nullptr);
}

TEST_F(Fields, ReadersReturnFreshCopies) {
  zel_marlo_setPsdAlbum(msg_, "same");
  char *a = zel_marlo_getPsdAlbum(msg_);
  char *b = zel_marlo_getPsdAlbum(msg_);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, b);
  std::free(a);
  std::free(b);
}

TEST_F(Fields, SettingATextTheRecordOwnsIsSafe) {
  // A reader's copy is the caller's, but passing one field's value back into a setter of the
  // same field must work as well when the value is the stored text itself.
  zel_marlo_setPsdGenre(msg_, "Jazz");
  char *copy = zel_marlo_getPsdGenre(msg_);
  zel_marlo_setPsdGenre(msg_, copy);
  std::free(copy);
  EXPECT_EQ(own(zel_marlo_getPsdGenre(msg_)), "Jazz");
}

TEST_F(Fields, SwitchesStoreTheByteAsGiven) {
  EXPECT_EQ(zel_marlo_enablePsdComment(msg_, 2), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_isPsdCommentEnabled(msg_), 2);
  zel_marlo_enablePsdCore(msg_, 0);
  zel_marlo_enablePsdCommercial(msg_, 1);
  zel_marlo_enablePsdUfid(msg_, 255);
  EXPECT_EQ(zel_marlo_isPsdCoreEnabled(msg_), 0);
  EXPECT_EQ(zel_marlo_isPsdCommercialEnabled(msg_), 1);
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg_), 255);
}

TEST_F(Fields, UfidOwnerIdLimit) {
  const std::string ok(191, 'o'), tooLong(192, 'L');
  const uint8_t first[] = {1, 2}, second[] = {3};
  EXPECT_EQ(zel_marlo_setPsdUfid(msg_, ok.c_str(), first, 2), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg_)), ok);

  // 192 characters: the owner id stays, the identifier is still replaced, no error.
  EXPECT_EQ(zel_marlo_setPsdUfid(msg_, tooLong.c_str(), second, 1), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg_)), ok);
  ASSERT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg_), 1u);
  uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg_);
  EXPECT_EQ(id[0], 3);
  std::free(id);
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), 0);

  zel_marlo_setPsdUfid(msg_, nullptr, nullptr, 0);  // null owner id is empty: absent
  EXPECT_EQ(zel_marlo_getPsdUfidOwnerId(msg_), nullptr);
}

TEST_F(Fields, UfidIdentifierLimit) {
  std::vector<uint8_t> bytes(65);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : i);

  EXPECT_EQ(zel_marlo_setPsdUfid(msg_, "o", bytes.data(), 64), ZEL_MARLO_SUCCESS);
  ASSERT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg_), 64u);
  uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg_);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(id, id + 64),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64))
      << "zero bytes inside the identifier are kept";
  std::free(id);

  EXPECT_EQ(zel_marlo_setPsdUfid(msg_, "o2", bytes.data(), 65), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg_), 0u);
  EXPECT_EQ(zel_marlo_getPsdUfidIdentifier(msg_), nullptr);
  EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg_)), "o2");  // taken before the size check
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), 0);
  EXPECT_EQ(zel_marlo_getErrorStr(msg_), nullptr);
}

}  // namespace
