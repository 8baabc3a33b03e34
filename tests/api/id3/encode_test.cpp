// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3/encode.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "api/handle.hpp"
#include "api/id3/decode.hpp"
#include "api/id3/writer.hpp"
#include "support/id3_support.hpp"
#include "support/log_capture.hpp"

namespace {

using zel::test::Bytes;
using zel::test::bytes;
using zel::test::encode;
using zel::test::Handle;
using zel::test::hex;
using zel::test::operator+;

// The frames of a tag this library wrote, after checking its header: (id, data) in order.
std::vector<std::pair<std::string, Bytes>> framesOf(const Bytes &tag) {
  std::vector<std::pair<std::string, Bytes>> frames;
  EXPECT_GE(tag.size(), 10u);
  if (tag.size() < 10) return frames;
  EXPECT_EQ(Bytes(tag.begin(), tag.begin() + 6), bytes("ID3") + bytes({3, 0, 0}));
  const size_t size = size_t{tag[6]} << 21 | size_t{tag[7]} << 14 | size_t{tag[8]} << 7 | tag[9];
  EXPECT_EQ(size, tag.size() - 10) << "syncsafe tag size";
  size_t pos = 10;
  while (pos + 10 <= tag.size()) {
    const std::string id(tag.begin() + pos, tag.begin() + pos + 4);
    const size_t n = size_t{tag[pos + 4]} << 24 | size_t{tag[pos + 5]} << 16 |
                     size_t{tag[pos + 6]} << 8 | tag[pos + 7];
    EXPECT_EQ(tag[pos + 8], 0);
    EXPECT_EQ(tag[pos + 9], 0);
    pos += 10;
    if (pos + n > tag.size()) break;
    frames.emplace_back(id, Bytes(tag.begin() + pos, tag.begin() + pos + n));
    pos += n;
  }
  EXPECT_EQ(pos, tag.size()) << "nothing after the last frame";
  return frames;
}

// The data of the only frame of the message's tag.
Bytes onlyFrame(const Handle &msg, const std::string &id) {
  auto encoded = encode(msg);
  EXPECT_TRUE(encoded.ok) << msg.errorText();
  auto frames = framesOf(encoded.tag);
  EXPECT_EQ(frames.size(), 1u);
  if (frames.size() != 1) return {};
  EXPECT_EQ(frames[0].first, id);
  return frames[0].second;
}

TEST(Id3Encode, TitleExampleIs23Bytes) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "Hi");
  auto encoded = encode(msg);
  ASSERT_TRUE(encoded.ok);
  EXPECT_EQ(hex(encoded.tag),
            "49 44 33 03 00 00 00 00 00 0D "
            "54 49 54 32 00 00 00 03 00 00 "
            "00 48 69");
}

TEST(Id3Encode, MessageWithoutFramesIsAnEmptyTag) {
  Handle msg;
  zel_marlo_setPsdComment(msg, "not", "enabled");
  ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
  ASSERT_EQ(zel_marlo_getId3PsdMsg(msg, &id3), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(id3->length, 0u);
  EXPECT_NE(id3->data, nullptr);
  EXPECT_EQ(zel_marlo_freeId3PsdMsg(id3), ZEL_MARLO_SUCCESS);
}

TEST(Id3Encode, CommentWithTitleOnly) {
  Handle msg;
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_setPsdComment(msg, "x", nullptr);
  EXPECT_EQ(hex(onlyFrame(msg, "COMM")), "00 65 6E 67 78 00");
  zel_marlo_setId3TextEncoding(msg, ZEL_MARLO_ID3_ENC_UTF_16);
  EXPECT_EQ(hex(onlyFrame(msg, "COMM")), "01 65 6E 67 FE FF 00 78 00 00 FE FF");
}

TEST(Id3Encode, CommercialFrameLayout) {
  Handle msg;
  zel_marlo_enablePsdCore(msg, 0);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_setPsdCommercial(msg, "USD10.0", "20041231", "http://x", "2", "Sel", "Pr");
  const Bytes expected0 = bytes({0}) + bytes("USD10.0") + bytes({0}) + bytes("20041231") +
                          bytes("http://x") + bytes({0, 2}) + bytes("Sel") + bytes({0}) +
                          bytes("Pr") + bytes({0, 0});
  EXPECT_EQ(hex(onlyFrame(msg, "COMR")), hex(expected0));

  // Price and URL stay ISO-8859-1; seller and description follow the encoding.
  zel_marlo_setId3TextEncoding(msg, ZEL_MARLO_ID3_ENC_UTF_16);
  const Bytes expected1 = bytes({1}) + bytes("USD10.0") + bytes({0}) + bytes("20041231") +
                          bytes("http://x") + bytes({0, 2}) +
                          bytes({0xFE, 0xFF, 0, 'S', 0, 'e', 0, 'l', 0, 0}) +
                          bytes({0xFE, 0xFF, 0, 'P', 0, 'r', 0, 0}) + bytes({0});
  EXPECT_EQ(hex(onlyFrame(msg, "COMR")), hex(expected1));
}

TEST(Id3Encode, ShortValidUntilIsEightZeroBytes) {
  // Validation refuses such a date; the encoder on its own writes zeros.
  Handle msg;
  zel_marlo_enablePsdCore(msg, 0);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_setPsdCommercial(msg, nullptr, "20041", nullptr, nullptr, nullptr, nullptr);
  zel::id3::EncodedTag id3;
  ASSERT_TRUE(zel::id3::encodeTag(msg.get()->content(), 0, msg.get()->error, id3));
  const Bytes tag(id3.data.get(), id3.data.get() + id3.length);
  auto frames = framesOf(tag);
  ASSERT_EQ(frames.size(), 1u);
  // encoding, empty price, eight date bytes, empty URL, received-as, seller, description, MIME
  EXPECT_EQ(hex(frames[0].second), "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(Id3Encode, UfidOwnerGivesWayToTheIdentifier) {
  const Bytes id64(64, 0xAB);
  struct Case {
    size_t ownerLength, identifierLength, written;
  } cases[] = {{150, 64, 128}, {120, 64, 120}, {128, 64, 128}, {191, 1, 191}, {191, 2, 190}};
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_enablePsdUfid(msg, 1);
    const std::string owner(c.ownerLength, 'o');
    zel_marlo_setPsdUfid(msg, owner.c_str(), id64.data(),
                         static_cast<uint32_t>(c.identifierLength));
    const Bytes expected =
        bytes(std::string(c.written, 'o')) + bytes({0}) + Bytes(c.identifierLength, 0xAB);
    EXPECT_EQ(hex(onlyFrame(msg, "UFID")), hex(expected))
        << c.ownerLength << "+" << c.identifierLength;
  }
}

TEST(Id3Encode, UfidNeedsOwnerAndIdentifier) {
  const uint8_t id[] = {1, 2};
  Handle noIdentifier;
  zel_marlo_enablePsdUfid(noIdentifier, 1);
  zel_marlo_setPsdUfid(noIdentifier, "owner", id, 0);
  EXPECT_TRUE(encode(noIdentifier).tag.empty());

  Handle noOwner;
  zel_marlo_enablePsdUfid(noOwner, 1);
  zel_marlo_setPsdUfid(noOwner, "", id, 2);
  EXPECT_TRUE(encode(noOwner).tag.empty());
}

TEST(Id3Encode, TagOf1024BytesIsTheLargest) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, std::string(1003, 'a').c_str());
  auto encoded = encode(msg);
  ASSERT_TRUE(encoded.ok);
  EXPECT_EQ(encoded.tag.size(), 1024u);
  EXPECT_EQ(hex(Bytes(encoded.tag.begin() + 6, encoded.tag.begin() + 10)), "00 00 07 76");

  zel_marlo_setPsdTitle(msg, std::string(1004, 'a').c_str());
  ZEL_MARLO_ID3_PSD_MSG_t *untouched = reinterpret_cast<ZEL_MARLO_ID3_PSD_MSG_t *>(0x1);
  EXPECT_EQ(zel_marlo_getId3PsdMsg(msg, &untouched), ZEL_MARLO_FAILURE);
  EXPECT_EQ(untouched, reinterpret_cast<ZEL_MARLO_ID3_PSD_MSG_t *>(0x1));
  EXPECT_EQ(msg.errorNum(), E_FORMAT);
  EXPECT_EQ(msg.errorText(), "orvo[730]: E_FORMAT pad message too long, '1025 bytes'");
}

TEST(Id3Encode, LineFeedsBecomeBlanksExceptInTheCommentText) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "a\nb");
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_setPsdComment(msg, "t\nt", "d\nd");
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_setPsdCommercial(msg, "P\n", "20041231", "U\n", "0", "S\n", "D\n");
  auto encoded = encode(msg);
  ASSERT_TRUE(encoded.ok) << msg.errorText();
  auto frames = framesOf(encoded.tag);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].second, bytes({0}) + bytes("a b"));
  EXPECT_EQ(frames[1].second,
            bytes({0}) + bytes("eng") + bytes("t t") + bytes({0}) + bytes("d\nd"));
  EXPECT_EQ(frames[2].second, bytes({0}) + bytes("P ") + bytes({0}) + bytes("20041231") +
                                  bytes("U ") + bytes({0, 0}) + bytes("S ") + bytes({0}) +
                                  bytes("D ") + bytes({0, 0}));
}

TEST(Id3Encode, FramesFollowTheGroupsInOrder) {
  const uint8_t id[] = {0x01, 0xAB, 0x00};
  Handle msg;
  zel_marlo_setPsdTitle(msg, "T");
  zel_marlo_setPsdArtist(msg, "A");
  zel_marlo_setPsdAlbum(msg, "L");
  zel_marlo_setPsdGenre(msg, "G");
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_setPsdComment(msg, "c", "d");
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_setPsdCommercial(msg, "USD10.0", "20041231", "u", "0", "s", "p");
  zel_marlo_enablePsdUfid(msg, 1);
  zel_marlo_setPsdUfid(msg, "owner", id, 3);
  auto encoded = encode(msg);
  ASSERT_TRUE(encoded.ok) << msg.errorText();
  std::vector<std::string> ids;
  for (auto &[frameId, data] : framesOf(encoded.tag)) ids.push_back(frameId);
  EXPECT_EQ(ids,
            (std::vector<std::string>{"TIT2", "TPE1", "TALB", "TCON", "COMM", "COMR", "UFID"}));

  // A switch counts only when it is exactly 1.
  zel_marlo_enablePsdCore(msg, 2);
  zel_marlo_enablePsdComment(msg, 0);
  zel_marlo_enablePsdCommercial(msg, 0);
  ids.clear();
  encoded = encode(msg);
  for (auto &[frameId, data] : framesOf(encoded.tag)) ids.push_back(frameId);
  EXPECT_EQ(ids, (std::vector<std::string>{"UFID"}));
}

// é, 日本 and U+1F600 (above U+FFFF), given as UTF-8.
const char kNonAscii[] = "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80";

TEST(Id3Encode, UnicodeEncodingsReadUtf8) {
  struct Case {
    int32_t encoding;
    const char *frame;
  } cases[] = {
      {ZEL_MARLO_ID3_ENC_UTF_16, "01 FE FF 00 E9 65 E5 67 2C D8 3D DE 00"},
      {ZEL_MARLO_ID3_ENC_UTF_16BE, "02 00 E9 65 E5 67 2C D8 3D DE 00"},
      {ZEL_MARLO_ID3_ENC_UTF_8, "03 C3 A9 E6 97 A5 E6 9C AC F0 9F 98 80"},
  };
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_setId3TextEncoding(msg, c.encoding);
    zel_marlo_setPsdTitle(msg, kNonAscii);
    const Bytes frame = onlyFrame(msg, "TIT2");
    EXPECT_EQ(hex(frame), c.frame) << "encoding " << c.encoding;

    // And back: the same UTF-8 text, in the encoding it travelled in.
    Handle back;
    ASSERT_EQ(zel::test::decode(back, encode(msg).tag), ZEL_MARLO_SUCCESS) << back.errorText();
    EXPECT_EQ(zel::test::own(zel_marlo_getPsdTitle(back)), kNonAscii);
    EXPECT_EQ(back.encoding(), c.encoding);
  }
}

TEST(Id3Encode, IllFormedUtf8BecomesReplacementCharacters) {
  struct Case {
    const char *text, *utf16;
  } cases[] = {
      {"a\xFF"
       "b",
       "00 61 FF FD 00 62"},
      {"\xC3", "FF FD"},                                // cut short
      {"\xC0\x80", "FF FD FF FD"},                      // overlong
      {"\xED\xA0\x80", "FF FD FF FD FF FD"},            // a surrogate
      {"\xF4\x90\x80\x80", "FF FD FF FD FF FD FF FD"},  // above U+10FFFF
      {"\xE6\x97"
       "x",
       "FF FD 00 78"},  // one replacement for the broken sequence
  };
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_setId3TextEncoding(msg, ZEL_MARLO_ID3_ENC_UTF_16BE);
    zel_marlo_setPsdTitle(msg, c.text);
    EXPECT_EQ(hex(onlyFrame(msg, "TIT2")), std::string("02 ") + c.utf16) << hex(bytes(c.text));
  }
}

TEST(Id3Encode, IsoLatin1IsByteForByte) {
  const char text[] = "\xE9\xFF\x80 \x01";
  Handle msg;
  zel_marlo_setPsdTitle(msg, text);
  EXPECT_EQ(hex(onlyFrame(msg, "TIT2")), "00 E9 FF 80 20 01");
  Handle back;
  zel_marlo_setId3TextEncoding(back, ZEL_MARLO_ID3_ENC_UTF_8);
  ASSERT_EQ(zel::test::decode(back, encode(msg).tag), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel::test::own(zel_marlo_getPsdTitle(back)), text);
  EXPECT_EQ(back.encoding(), ZEL_MARLO_ID3_ENC_ISO_8859_1);
}

TEST(Id3Encode, TextEncodingSetting) {
  Handle msg;
  EXPECT_EQ(msg.encoding(), 0);
  for (int32_t e : {1, 2, 3, 0}) {
    EXPECT_EQ(zel_marlo_setId3TextEncoding(msg, e), ZEL_MARLO_SUCCESS);
    EXPECT_EQ(msg.encoding(), e);
  }
  zel_marlo_setId3TextEncoding(msg, 2);
  for (int32_t bad : {4, -1, 256}) {
    EXPECT_EQ(zel_marlo_setId3TextEncoding(msg, bad), ZEL_MARLO_FAILURE);
    EXPECT_EQ(msg.encoding(), 2);
  }
  EXPECT_EQ(msg.errorNum(), 0);
  EXPECT_EQ(zel_marlo_getId3TextEncoding(msg, nullptr), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_getId3PsdMsg(msg, nullptr), ZEL_MARLO_FAILURE);
}

TEST(Id3Encode, BadHandles) {
  zel::test::LogCapture log;
  int32_t encoding = 0;
  ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
  const ZEL_MARLO_ID3_PSD_MSG_t record{0, nullptr};
  EXPECT_EQ(zel_marlo_setId3TextEncoding(nullptr, 1), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_getId3TextEncoding(nullptr, &encoding), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_getId3PsdMsg(nullptr, &id3), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_setId3PsdMsg(nullptr, &record), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_loadId3PsdFile(nullptr, "x"), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_saveId3PsdFile(nullptr, "x"), ZEL_MARLO_FAILURE);
  EXPECT_EQ(log.take(),
            "orvoapi[3192]: BAD HANDLE - handle=0x0\n"
            "orvoapi[3223]: BAD HANDLE - handle=0x0\n"
            "orvoapi[1453]: BAD HANDLE - handle=0x0\n"
            "orvoapi[1463]: BAD HANDLE - handle=0x0\n"
            "orvoapi[1502]: BAD HANDLE - handle=0x0\n"
            "orvoapi[1569]: BAD HANDLE - handle=0x0\n");
}

TEST(Id3Encode, WriterVersion) {
  EXPECT_STREQ(zel::id3::writerVersion(), "zel_id3 v2.3_r4 Apr  9 2008");
}

}  // namespace

// A genre that begins with "(" is written with "((" in its place, so that an ID3v2.3 reader does
// not take it for a genre reference; no other text is touched, and decoding gives it back.
TEST(Id3Encode, GenreBeginningWithParenthesisIsEscaped) {
  struct Case {
    const char *genre;
    int encoding;
    Bytes data;  // TCON frame data
  } cases[] = {
      {"(Live) Jazz", 0, bytes({0}) + bytes("((Live) Jazz")},
      {"(12)Talk", 0, bytes({0}) + bytes("((12)Talk")},
      {"((x", 0, bytes({0}) + bytes("(((x")},
      {"(", 0, bytes({0}) + bytes("((")},
      {"(", 1, bytes({1, 0xFE, 0xFF, 0, '(', 0, '('})},
      {"(1", 2, bytes({2, 0, '(', 0, '(', 0, '1'})},
      {"(x", 3, bytes({3}) + bytes("((x")},
      {"Jazz (Live)", 0, bytes({0}) + bytes("Jazz (Live)")},
      {" (12)", 0, bytes({0}) + bytes(" (12)")},
  };
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_setId3TextEncoding(msg, c.encoding);
    zel_marlo_setPsdGenre(msg, c.genre);
    EXPECT_EQ(hex(onlyFrame(msg, "TCON")), hex(c.data)) << c.genre << " in " << c.encoding;
    auto encoded = encode(msg);
    Handle back;
    ASSERT_EQ(zel::test::decode(back, encoded.tag), ZEL_MARLO_SUCCESS) << back.errorText();
    char *genre = zel_marlo_getPsdGenre(back);
    EXPECT_STREQ(genre, c.genre) << c.encoding;
    std::free(genre);
  }
  // The other text frames keep a leading "(".
  Handle msg;
  zel_marlo_setPsdTitle(msg, "(12)");
  EXPECT_EQ(hex(onlyFrame(msg, "TIT2")), hex(bytes({0}) + bytes("(12)")));
}
