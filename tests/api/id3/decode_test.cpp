// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/id3_support.hpp"
#include "support/message_fill.hpp"

namespace {

using zel::test::Bytes;
using zel::test::bytes;
using zel::test::decode;
using zel::test::encode;
using zel::test::frame2;
using zel::test::frame3;
using zel::test::frame4;
using zel::test::Handle;
using zel::test::own;
using zel::test::tag;
using zel::test::operator+;

using zel::test::kEveryFieldIdentifier;

// A message with a value in every field and every group enabled.
void fillAll(ZEL_MARLO_PSD_MSG_t *msg) {
  zel::test::fillEveryField(msg);
  zel::test::enableEveryGroup(msg);
}

std::vector<std::string> texts(ZEL_MARLO_PSD_MSG_t *msg) {
  std::vector<std::string> out;
  for (auto reader :
       {zel_marlo_getPsdTitle, zel_marlo_getPsdArtist, zel_marlo_getPsdAlbum, zel_marlo_getPsdGenre,
        zel_marlo_getPsdCommentTitle, zel_marlo_getPsdCommentDesc, zel_marlo_getPsdCommercialPrice,
        zel_marlo_getPsdCommentValidUntil, zel_marlo_getPsdCommentContactUrl,
        zel_marlo_getPsdCommentRecvAs, zel_marlo_getPsdCommentSellerName,
        zel_marlo_getPsdCommentProductDesc, zel_marlo_getPsdUfidOwnerId})
    out.push_back(own(reader(msg)));
  return out;
}

Bytes identifier(ZEL_MARLO_PSD_MSG_t *msg) {
  uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg);
  Bytes out(id, id + (id ? zel_marlo_getPsdUfidIdentifierSize(msg) : 0));
  std::free(id);
  return out;
}

TEST(Id3Decode, EveryGroupRoundTrips) {
  for (int32_t encoding : {0, 1, 2, 3}) {
    Handle sent;
    fillAll(sent);
    zel_marlo_setId3TextEncoding(sent, encoding);
    auto encoded = encode(sent);
    ASSERT_TRUE(encoded.ok) << sent.errorText();

    Handle received;
    zel_marlo_enablePsdComment(received, 1);
    zel_marlo_enablePsdCommercial(received, 1);
    zel_marlo_enablePsdUfid(received, 1);
    ASSERT_EQ(decode(received, encoded.tag), ZEL_MARLO_SUCCESS) << received.errorText();
    EXPECT_EQ(texts(received), texts(sent)) << "encoding " << encoding;
    EXPECT_EQ(identifier(received),
              Bytes(std::begin(kEveryFieldIdentifier), std::end(kEveryFieldIdentifier)));
    EXPECT_EQ(received.encoding(), encoding);
    auto again = encode(received);
    ASSERT_TRUE(again.ok) << received.errorText();
    EXPECT_EQ(again.tag, encoded.tag) << "encoding " << encoding;
  }
}

TEST(Id3Decode, TheTagReplacesEveryValueAndKeepsTheSwitches) {
  Handle msg;
  fillAll(msg);
  zel_marlo_enablePsdCore(msg, 0);
  zel_marlo_enablePsdComment(msg, 2);
  zel_marlo_setId3TextEncoding(msg, ZEL_MARLO_ID3_ENC_UTF_8);
  zel_marlo_setPsdComment(msg, nullptr, "no title");
  ASSERT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_FAILURE);

  ASSERT_EQ(decode(msg, tag(frame3("TPE1", bytes({0}) + bytes("New")))), ZEL_MARLO_SUCCESS);
  const std::vector<std::string> expected = {"<null>", "New",    "<null>", "<null>", "<null>",
                                             "<null>", "<null>", "<null>", "<null>", "<null>",
                                             "<null>", "<null>", "<null>"};
  EXPECT_EQ(texts(msg), expected);
  EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg), 0u);
  EXPECT_EQ(zel_marlo_isPsdCoreEnabled(msg), 0);
  EXPECT_EQ(zel_marlo_isPsdCommentEnabled(msg), 2);
  EXPECT_EQ(zel_marlo_isPsdCommercialEnabled(msg), 1);
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg), 1);
  EXPECT_EQ(msg.errorNum(), 0);
  EXPECT_EQ(zel_marlo_getErrorStr(msg), nullptr);
  EXPECT_EQ(msg.encoding(), 0);
}

TEST(Id3Decode, InvalidContentIsNotTaken) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "Old");
  // Received-as byte FF reads as -1.
  const Bytes comr = bytes({0}) + bytes("USD1") + bytes({0}) + bytes("20041231") + bytes("u") +
                     bytes({0, 0xFF}) + bytes("s") + bytes({0}) + bytes("d") + bytes({0, 0});
  EXPECT_EQ(decode(msg, tag(frame3("TIT2", bytes({0}) + bytes("New")) + frame3("COMR", comr))),
            ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorNum(), E_FORMAT);
  EXPECT_EQ(msg.errorText(), "orvo[1084]: E_FORMAT invalid commercial recvAs s code '-1'");
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "Old");
}

TEST(Id3Decode, CommercialValues) {
  struct Case {
    Bytes date;
    int recvAs;
    const char *validUntil, *recvAsText, *report;
  } cases[] = {
      {bytes("20041231"), 2, "20041231", "2", ""},
      {bytes("99991231"), 8, "99991231", "8", ""},
      // Zero date bytes read as a present, empty date: not all commercial values are set.
      {Bytes(8, 0), 0, "", "0", "orvo[1074]: E_FORMAT all commercial fields not specified "},
      {bytes("2004123") + bytes({0}), 0, "2004123", "0",
       "orvo[1119]: E_FORMAT invalid commercial validUntil day 2004123"},
  };
  for (const Case &c : cases) {
    Handle msg;
    const Bytes comr = bytes({0}) + bytes("USD1") + bytes({0}) + c.date + bytes("u") +
                       bytes({0, c.recvAs}) + bytes("s") + bytes({0}) + bytes("d") + bytes({0, 0});
    const int32_t result = decode(msg, tag(frame3("COMR", comr)));
    if (*c.report == '\0') {
      ASSERT_EQ(result, ZEL_MARLO_SUCCESS) << msg.errorText();
      EXPECT_EQ(own(zel_marlo_getPsdCommentValidUntil(msg)), c.validUntil);
      EXPECT_EQ(own(zel_marlo_getPsdCommentRecvAs(msg)), c.recvAsText);
    } else {
      EXPECT_EQ(result, ZEL_MARLO_FAILURE);
      EXPECT_EQ(msg.errorText(), c.report);
    }
  }
}

TEST(Id3Decode, UfidIdentifierOfMoreThan64BytesIsDropped) {
  for (size_t n : {64u, 65u}) {
    Handle msg;
    ASSERT_EQ(decode(msg, tag(frame3("UFID", bytes("own") + bytes({0}) + Bytes(n, 7)))),
              ZEL_MARLO_SUCCESS);
    EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg)), "own");
    EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg), n == 64 ? 64u : 0u);
  }
}

TEST(Id3Decode, TheFirstFrameOfEachKindCounts) {
  Handle msg;
  ASSERT_EQ(decode(msg, tag(frame3("TIT2", bytes({0}) + bytes("one")) +
                            frame3("TPE1", bytes({0}) + bytes("artist")) +
                            frame3("TIT2", bytes({0}) + bytes("two")))),
            ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "one");
  EXPECT_EQ(own(zel_marlo_getPsdArtist(msg)), "artist");
}

TEST(Id3Decode, TextFields) {
  struct Case {
    Bytes data;
    const char *title;
    int32_t encoding;
  } cases[] = {
      {bytes({0}) + bytes("a\nb"), "a b", 0},  // line feeds read as blanks
      {bytes({0}) + bytes("first") + bytes({0}) + bytes("second"), "first", 0},
      {bytes({0, 0}) + bytes("second"), "<null>", 0},  // empty first string
      {bytes({0}), "<null>", 0},
      {bytes({0, 0xE9}), "\xE9", 0},  // ISO-8859-1 stays bytes
      {bytes({1, 0xFE, 0xFF, 0, 'H', 0, 'i'}), "Hi", 1},
      {bytes({1, 0xFF, 0xFE, 'H', 0, 'i', 0}), "Hi", 1},  // little-endian mark
      {bytes({1, 0, 'H', 0, 'i'}), "Hi", 1},              // no mark: big-endian
      {bytes({1, 0xFE, 0xFF}), "<null>", 1},              // a mark alone is empty
      {bytes({1, 0xFE, 0xFF, 0, 0xE9, 0, 0, 0xFE, 0xFF, 0, 'x'}), "\xC3\xA9", 1},
      {bytes({2, 0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80", 2},  // surrogate pair
      {bytes({2, 0x00, 0x41, 0x00}), "A", 2},                       // odd byte ignored
      {bytes({3}) + bytes("\xE6\x97\xA5"), "\xE6\x97\xA5", 3},
  };
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_setId3TextEncoding(msg, 2);
    ASSERT_EQ(decode(msg, tag(frame3("TIT2", c.data))), ZEL_MARLO_SUCCESS)
        << zel::test::hex(c.data) << ": " << msg.errorText();
    EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), c.title) << zel::test::hex(c.data);
    EXPECT_EQ(msg.encoding(), c.encoding) << zel::test::hex(c.data);
  }
}

TEST(Id3Decode, OneUnicodeFrameMakesEveryTextUtf8) {
  // An ISO-8859-1 title beside a UTF-16 artist: both come out as UTF-8, and the message keeps
  // the artist's encoding, so that it encodes the title as it was received, in UTF-16.
  Handle msg;
  ASSERT_EQ(decode(msg, tag(frame3("TIT2", bytes({0, 0xE9})) +
                            frame3("TPE1", bytes({1, 0xFE, 0xFF, 0, 'A'})))),
            ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "\xC3\xA9");
  EXPECT_EQ(msg.encoding(), ZEL_MARLO_ID3_ENC_UTF_16);
  auto again = encode(msg);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.tag[20], 1);
  EXPECT_EQ(Bytes(again.tag.begin() + 21, again.tag.begin() + 25), bytes({0xFE, 0xFF, 0, 0xE9}));
}

TEST(Id3Decode, CommentValues) {
  Handle msg;
  zel_marlo_setPsdComment(msg, "old", "old");
  // A comment text keeps its line feeds; the short description reads them as blanks.
  ASSERT_EQ(
      decode(msg, tag(frame3("COMM", bytes({0}) + bytes("XXXa\nb") + bytes({0}) + bytes("c\nd")))),
      ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdCommentTitle(msg)), "a b");
  EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg)), "c\nd");

  // A text without short description is refused by validation.
  EXPECT_EQ(decode(msg, tag(frame3("COMM", bytes({0}) + bytes("eng") + bytes({0}) + bytes("t")))),
            ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1020]: E_FORMAT comment title required ");
  EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg)), "c\nd");
}

TEST(Id3Decode, TrialEncodingRunsUnderTheSwitches) {
  const Bytes big = tag(frame3("TIT2", bytes({0}) + Bytes(1004, 'a')));
  Handle core;
  EXPECT_EQ(decode(core, big), ZEL_MARLO_FAILURE);
  EXPECT_EQ(core.errorText(), "orvo[730]: E_FORMAT pad message too long, '1025 bytes'");

  Handle noCore;
  zel_marlo_enablePsdCore(noCore, 0);
  EXPECT_EQ(decode(noCore, big), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdTitle(noCore)).size(), 1004u);
}

TEST(Id3Decode, MissingOrUnreadableTag) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "kept");
  EXPECT_EQ(zel_marlo_setId3PsdMsg(msg, nullptr), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[811]: E_FORMAT could not find id3 tag ");
  const ZEL_MARLO_ID3_PSD_MSG_t noData{5, nullptr};
  EXPECT_EQ(zel_marlo_setId3PsdMsg(msg, &noData), ZEL_MARLO_FAILURE);
  EXPECT_EQ(decode(msg, Bytes{}), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[811]: E_FORMAT could not find id3 tag ");

  EXPECT_EQ(decode(msg, bytes("hello")), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorNum(), E_FORMAT);
  EXPECT_EQ(msg.errorText(), "orvo[822]: E_FORMAT id3 parse failed, len=5");
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "kept");
}

TEST(Id3Decode, OtherTagVersions) {
  // ID3v1: 128 bytes from "TAG".
  Bytes v1(128, 0);
  std::copy_n("TAGtitle", 8, v1.begin());
  std::copy_n("artist", 6, v1.begin() + 33);
  v1[127] = 0xFF;
  Handle one;
  ASSERT_EQ(decode(one, v1), ZEL_MARLO_SUCCESS) << one.errorText();
  EXPECT_EQ(own(zel_marlo_getPsdTitle(one)), "title");
  EXPECT_EQ(own(zel_marlo_getPsdArtist(one)), "artist");

  Handle two;
  ASSERT_EQ(decode(two, tag(frame2("TT2", bytes({0}) + bytes("t22")) +
                                frame2("COM", bytes({0}) + bytes("engd") + bytes({0}) + bytes("x")),
                            2)),
            ZEL_MARLO_SUCCESS)
      << two.errorText();
  EXPECT_EQ(own(zel_marlo_getPsdTitle(two)), "t22");
  EXPECT_EQ(own(zel_marlo_getPsdCommentTitle(two)), "d");

  Handle four;
  ASSERT_EQ(
      decode(four, tag(frame4("TCON", bytes({3}) + bytes("Rock") + bytes({0}) + bytes("Pop")) +
                           frame4("TIT2", bytes({3}) + Bytes(200, 'x')),
                       4)),
      ZEL_MARLO_SUCCESS)
      << four.errorText();
  EXPECT_EQ(own(zel_marlo_getPsdGenre(four)), "Rock");
  EXPECT_EQ(own(zel_marlo_getPsdTitle(four)), std::string(200, 'x'));
  EXPECT_EQ(four.encoding(), 3);
}

TEST(Id3Decode, BytesAfterTheTagAreIgnored) {
  Handle msg;
  ASSERT_EQ(decode(msg, tag(frame3("TIT2", bytes({0}) + bytes("t"))) + bytes("\xFF\xFB audio")),
            ZEL_MARLO_SUCCESS);
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "t");
}

}  // namespace
