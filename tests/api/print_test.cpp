// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "api/zel_marlo.h"
#include "support/api_text.hpp"

namespace {

using zel::test::errorText;
using zel::test::own;

class Print : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zel_marlo_allocPsdMsg(&msg_), ZEL_MARLO_SUCCESS); }
  void TearDown() override { zel_marlo_deletePsdMsg(msg_); }
  ZEL_MARLO_PSD_MSG_t *msg_ = nullptr;
};

TEST_F(Print, EveryLineInOrder) {
  const uint8_t id[] = {0x01, 0xAB, 0x00};
  zel_marlo_setPsdTitle(msg_, "T");
  zel_marlo_setPsdArtist(msg_, "A");
  zel_marlo_setPsdAlbum(msg_, "L");
  zel_marlo_setPsdGenre(msg_, "G");
  zel_marlo_setPsdComment(msg_, "CT", "CD");
  zel_marlo_setPsdCommercial(msg_, "USD1", "20041231", "http://u", "3", "S", "P");
  zel_marlo_setPsdUfid(msg_, "O", id, sizeof id);
  const std::string all =
      "title: -->T\n"
      "artist: -->A\n"
      "album: -->L\n"
      "genre: -->G\n"
      "comment title: -->CT\n"  // the description is not printed
      "commercial price: -->USD1\n"
      "commercial valid until: -->20041231\n"
      "commercial contact url: -->http://u\n"
      "commercial recv as: -->3\n"
      "commercial seller name: -->S\n"
      "commercial product desc: -->P\n"
      "ufid: owner id -->O\n"
      "ufid: identifier (least sig -- Most sig) -->1::ab::0::\n";
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 0)), all);
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 7)), all);  // anything but 1 prints every group

  // Enabled groups only: core (on by default) and UFID.
  zel_marlo_enablePsdUfid(msg_, 1);
  zel_marlo_enablePsdComment(msg_, 2);  // only 1 counts as on
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 1)),
            "title: -->T\nartist: -->A\nalbum: -->L\ngenre: -->G\nufid: owner id -->O\n"
            "ufid: identifier (least sig -- Most sig) -->1::ab::0::\n");
}

TEST_F(Print, PartialGroups) {
  const uint8_t id[] = {0x0A, 0x00, 0xFF};
  zel_marlo_setPsdComment(msg_, nullptr, "description only");
  zel_marlo_setPsdUfid(msg_, "owner", nullptr, 0);
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 0)), "ufid: owner id -->owner\n");
  zel_marlo_setPsdUfid(msg_, nullptr, id, sizeof id);
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 0)),
            "ufid: identifier (least sig -- Most sig) -->a::0::ff::\n");
}

TEST_F(Print, NoData) {
  for (uint8_t enabledOnly : {0, 1}) {
    EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, enabledOnly)), "PSD message contains no data!\n");
  }
  zel_marlo_setPsdArtist(msg_, "hidden");
  zel_marlo_enablePsdCore(msg_, 0);
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 1)), "PSD message contains no data!\n");
}

TEST_F(Print, LongTextIsCutAt4095Characters) {
  const std::string big(3000, 'x');
  zel_marlo_setPsdTitle(msg_, big.c_str());
  zel_marlo_setPsdArtist(msg_, big.c_str());
  const std::string text = own(zel_marlo_sprintPsdMsg(msg_, 0));
  ASSERT_EQ(text.size(), 4095u);
  EXPECT_EQ(text, ("title: -->" + big + "\nartist: -->" + big).substr(0, 4095));
}

TEST_F(Print, HeadingWithLengthAndTime) {
  zel_marlo_setPsdTitle(msg_, "Hi");
  FILE *out = std::tmpfile();
  ASSERT_EQ(zel_marlo_fprintPsdMsg(msg_, out, 1), ZEL_MARLO_SUCCESS);
  std::rewind(out);
  char buf[512] = {};
  const size_t n = std::fread(buf, 1, sizeof buf - 1, out);
  std::fclose(out);
  const std::string text(buf, n);
  // The time is ctime's text: "Wed Jun 30 21:49:08 1993\n", 24 characters and a line feed.
  const std::string head = "PSD message of length 23 bytes printed on ";
  ASSERT_EQ(text.size(), head.size() + 25 + std::string("title: -->Hi\n\n").size()) << text;
  EXPECT_EQ(text.substr(0, head.size()), head);
  const std::string when = text.substr(head.size(), 25);
  const std::string shape = "AAA AAA 00 00:00:00 0000\n";  // A: a letter, 0: a digit
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = when[i], s = shape[i];
    const bool ok = s == 'A' ? std::isalpha(static_cast<unsigned char>(c)) != 0
                    : s == '0'
                        ? std::isdigit(static_cast<unsigned char>(c)) != 0 || (i == 8 && c == ' ')
                        : c == s;
    EXPECT_TRUE(ok) << "time text " << when << " at " << i;
  }
  EXPECT_EQ(text.substr(head.size() + 25), "title: -->Hi\n\n");

  ::testing::internal::CaptureStdout();  // a null stream is standard output
  EXPECT_EQ(zel_marlo_fprintPsdMsg(msg_, nullptr, 0), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind("PSD message of length 23 bytes", 0),
            0u);
}

TEST_F(Print, NothingPrintedWhenTheMessageCannotBeEncoded) {
  zel_marlo_setPsdComment(msg_, nullptr, "no title");  // fails validation
  FILE *out = std::tmpfile();
  EXPECT_EQ(zel_marlo_fprintPsdMsg(msg_, out, 0), ZEL_MARLO_FAILURE);
  EXPECT_EQ(std::ftell(out), 0);
  std::fclose(out);
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), E_FORMAT);
  EXPECT_EQ(own(zel_marlo_sprintPsdMsg(msg_, 0)), "PSD message contains no data!\n")
      << "sprint still renders it";
}

TEST(Version, ExactText) {
  const char *v = zel_marlo_getVersion();
  EXPECT_STREQ(v,
               "\nzel_marlo Version --> zel_marlo v4.1 Jul 17 2008\n"
               "zel_vesk Version --> 1.5 Jul 17 2008-11:26:24\n"
               "zel_id3 Version --> zel_id3 v2.3_r4 Apr  9 2008\n");
  EXPECT_EQ(zel_marlo_getVersion(), v);
}

}  // namespace
