// SPDX-License-Identifier: GPL-2.0-or-later
// What a sender of this library sends, its receiver takes back unchanged: the text encoding a
// decoded tag keeps, the UFID owner limit, and the CRC-32 of a v2.3 extended header.
#include <gtest/gtest.h>
#include <id3tag.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/id3_support.hpp"
#include "support/log_capture.hpp"

namespace {

using zel::test::be32;
using zel::test::Bytes;
using zel::test::bytes;
using zel::test::decode;
using zel::test::encode;
using zel::test::frame3;
using zel::test::frame4;
using zel::test::Handle;
using zel::test::hex;
using zel::test::own;
using zel::test::packetOf;
using zel::test::tag;
using zel::test::operator+;

// n CJK ideographs, U+4E00 + from upwards, as UTF-8 (3 bytes each; 2 in UTF-16).
std::string cjk(size_t n, unsigned from = 0) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    const unsigned c = 0x4E00 + (from + static_cast<unsigned>(i)) % 0x5000;
    s += static_cast<char>(0xE0 | c >> 12);
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

// 450 CJK characters over title, artist and album make a 949-byte tag in UTF-16 (1,393 bytes
// in UTF-8); in every Unicode encoding the receiver takes what the sender sent and keeps its
// encoding, so that its own trial encoding measures what the sender measured.
TEST(Id3Faithful, UnicodeMessagesComeBackInTheirEncoding) {
  struct Case {
    int32_t encoding;
    size_t each;  // characters in each of title, artist and album
    size_t length;
  } cases[] = {{1, 150, 949}, {2, 150, 943}, {3, 100, 943}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.encoding);
    const std::string title = cjk(c.each), artist = cjk(c.each, 1000), album = cjk(c.each, 2000);
    for (ZEL_MARLO_VESK_TYPE_t kind : {ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_VESK_TYPE_CL}) {
      Handle tx, rx;
      zel_marlo_setId3TextEncoding(tx, c.encoding);
      zel_marlo_setPsdTitle(tx, title.c_str());
      zel_marlo_setPsdArtist(tx, artist.c_str());
      zel_marlo_setPsdAlbum(tx, album.c_str());
      const auto sent = encode(tx);
      ASSERT_TRUE(sent.ok) << tx.errorText();
      EXPECT_EQ(sent.tag.size(), c.length);
      ASSERT_EQ(zel_marlo_createPsdMsg(tx, 7), ZEL_MARLO_SUCCESS) << tx.errorText();
      const Bytes packet = packetOf(tx, kind);

      ZEL_MARLO_MSG_ID_t id = -1;
      ASSERT_EQ(
          zel_marlo_recvPsdMsgFromBuffer(rx, packet.data(), uint32_t(packet.size()), kind, &id),
          ZEL_MARLO_SUCCESS)
          << rx.errorText();
      uint16_t contentId = 0;
      ASSERT_EQ(zel_marlo_parsePsdMsg(rx, &contentId), ZEL_MARLO_SUCCESS) << rx.errorText();
      EXPECT_EQ(rx.encoding(), c.encoding);
      EXPECT_EQ(own(zel_marlo_getPsdTitle(rx)), title);
      EXPECT_EQ(own(zel_marlo_getPsdArtist(rx)), artist);
      EXPECT_EQ(own(zel_marlo_getPsdAlbum(rx)), album);
      // Saved or sent on, it is the same tag again.
      EXPECT_EQ(encode(rx).tag, sent.tag);
    }
  }
  // The 949-byte message in UTF-8 is what the receiver used to measure: too long.
  Handle utf8;
  zel_marlo_setId3TextEncoding(utf8, 3);
  for (auto setter : {zel_marlo_setPsdTitle, zel_marlo_setPsdArtist, zel_marlo_setPsdAlbum})
    setter(utf8, cjk(150).c_str());
  EXPECT_FALSE(encode(utf8).ok);
  EXPECT_EQ(utf8.errorText(), "orvo[730]: E_FORMAT pad message too long, '1393 bytes'");
}

// The encoding kept is that of the first frame read, in tag order, stored in 1, 2 or 3; 0 when
// every text frame is ISO-8859-1. Texts are UTF-8 whenever it is not 0.
TEST(Id3Faithful, TheFirstUnicodeFrameInTagOrderGivesTheEncoding) {
  const Bytes latinTitle = frame3("TIT2", bytes({0, 0xE9}));
  const Bytes utf16Artist = frame3("TPE1", bytes({1, 0xFE, 0xFF, 0, 'A'}));
  const Bytes utf16beAlbum = frame3("TALB", bytes({2, 0, 'B'}));
  const Bytes utf8Genre = frame3("TCON", bytes({3, 'G'}));
  const Bytes utf16beComment = frame3("COMM", bytes({2}) + bytes("eng") + bytes({0, 'c', 0, 0}));
  const Bytes utf8Commercial =
      frame3("COMR", bytes({3}) + bytes("USD1") + bytes({0}) + bytes("20301231") + bytes("u") +
                         bytes({0, 1}) + bytes("s") + bytes({0}) + bytes("d") + bytes({0, 0}));
  const Bytes ufid = frame3("UFID", bytes("o") + bytes({0, 1}));
  struct Case {
    Bytes frames;
    int32_t encoding;
    const char *title;
  } cases[] = {
      {latinTitle, 0, "\xE9"},
      {latinTitle + ufid, 0, "\xE9"},
      {latinTitle + utf16Artist + utf8Genre, 1, "\xC3\xA9"},
      {utf8Genre + utf16Artist + latinTitle, 3, "\xC3\xA9"},  // tag order, not field order
      {latinTitle + utf16beAlbum + utf16Artist, 2, "\xC3\xA9"},
      {ufid + utf16beComment + latinTitle, 2, "\xC3\xA9"},
      {utf8Commercial + utf16Artist + latinTitle, 3, "\xC3\xA9"},
      // Only the first frame of a kind is read: a later UTF-16 title does not count.
      {latinTitle + frame3("TIT2", bytes({1, 0xFE, 0xFF, 0, 'x'})) + utf8Genre, 3, "\xC3\xA9"},
      // Frames that are not read do not count either.
      {frame3("TPE2", bytes({1, 0xFE, 0xFF, 0, 'x'})) + latinTitle, 0, "\xE9"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(hex(c.frames));
    Handle msg;
    zel_marlo_enablePsdComment(msg, 1);
    zel_marlo_enablePsdCommercial(msg, 1);
    zel_marlo_enablePsdUfid(msg, 1);
    zel_marlo_setId3TextEncoding(msg, 3);
    ASSERT_EQ(decode(msg, tag(c.frames)), ZEL_MARLO_SUCCESS) << msg.errorText();
    EXPECT_EQ(msg.encoding(), c.encoding);
    EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), c.title);
  }
  // v2.4 and v2.2 tags alike.
  Handle four;
  ASSERT_EQ(
      decode(four,
             tag(frame4("TIT2", bytes({0}) + bytes("t")) + frame4("TPE1", bytes({2, 0, 'a'})), 4)),
      ZEL_MARLO_SUCCESS);
  EXPECT_EQ(four.encoding(), 2);
  Handle two;
  ASSERT_EQ(decode(two, tag(zel::test::frame2("TT2", bytes({1, 0xFF, 0xFE, 't', 0})), 2)),
            ZEL_MARLO_SUCCESS);
  EXPECT_EQ(two.encoding(), 1);
}

// ---- tags whose frames differ in their encoding ---------------------------------------------

// n CJK ideographs as UTF-16BE code units.
Bytes cjk16(size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned c = 0x4E00 + static_cast<unsigned>(i);
    out.push_back(static_cast<uint8_t>(c >> 8));
    out.push_back(static_cast<uint8_t>(c & 0xFF));
  }
  return out;
}

Bytes latin1Frame(const std::string &id, const std::string &text) {
  return frame3(id, bytes({0}) + bytes(text));
}

// The three doors outside bytes come in by; each returns the handle's status.
int32_t throughSet(ZEL_MARLO_PSD_MSG_t *msg, const Bytes &t) { return decode(msg, t); }

int32_t throughFile(ZEL_MARLO_PSD_MSG_t *msg, const Bytes &t) {
  char path[] = "/tmp/zel_mixed_XXXXXX";
  const int fd = ::mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, t.data(), t.size()), static_cast<ssize_t>(t.size()));
  ::close(fd);
  const int32_t rc = zel_marlo_loadId3PsdFile(msg, path);
  ::unlink(path);
  return rc;
}

// A CL-only packet the library made, its tag swapped for t: a CL header and a container header
// of 12 bytes each, with the lengths at offset 8 of each (big-endian, then little-endian).
int32_t throughRoad(ZEL_MARLO_PSD_MSG_t *msg, const Bytes &t) {
  Handle tx;
  zel_marlo_setPsdTitle(tx, "t");
  EXPECT_EQ(zel_marlo_createPsdMsg(tx, 1), ZEL_MARLO_SUCCESS);
  Bytes datagram = packetOf(tx, ZEL_MARLO_VESK_TYPE_CL);
  datagram.resize(24);
  const uint32_t n = static_cast<uint32_t>(t.size());
  const Bytes clLength = be32(n + 12);
  std::copy(clLength.begin(), clLength.end(), datagram.begin() + 8);
  const Bytes payloadLength = bytes({static_cast<int>(n & 0xFF), static_cast<int>(n >> 8 & 0xFF),
                                     static_cast<int>(n >> 16 & 0xFF), static_cast<int>(n >> 24)});
  std::copy(payloadLength.begin(), payloadLength.end(), datagram.begin() + 20);
  datagram = datagram + t;
  ZEL_MARLO_MSG_ID_t id = -1;
  int32_t rc = zel_marlo_recvPsdMsgFromBuffer(msg, datagram.data(), uint32_t(datagram.size()),
                                              ZEL_MARLO_VESK_TYPE_CL, &id);
  uint16_t contentId = 0;
  if (rc == ZEL_MARLO_SUCCESS) rc = zel_marlo_parsePsdMsg(msg, &contentId);
  return rc;
}

// Taggers store ISO-8859-1 where a text allows it and a Unicode encoding only where needed. A
// tag that fits in 1024 bytes is taken when any encoding holds it in 1024 bytes: in its first
// Unicode frame's encoding when that fits, else in the one of those holding every text that
// makes the shortest tag (0 first on a tie, and only when all texts are ISO-8859-1). It encodes
// again to that length.
TEST(Id3Faithful, MixedEncodingTagsTakeAnEncodingThatHoldsThem) {
  const Bytes cjkTitle = frame3("TIT2", bytes({1, 0xFE, 0xFF}) + cjk16(12));
  const std::string cjkTitleUtf8 = cjk(12);
  const std::string e9(500, '\xE9');
  std::string e9Utf8;  // 100 of them as UTF-8
  for (int i = 0; i < 100; ++i) e9Utf8 += "\xC3\xA9";
  struct Case {
    const char *name;
    Bytes frames;
    size_t tagLength;   // the tag as it arrives
    int32_t encoding;   // taken; -1: refused
    size_t length;      // encoded again; refused: the length the report names
    std::string title;  // as taken
  } cases[] = {
      // 1673 bytes in UTF-16: the ISO-8859-1 texts would double.
      {"UTF-16 first",
       cjkTitle + latin1Frame("TPE1", std::string(400, 'a')) +
           latin1Frame("TALB", std::string(400, 'b')),
       869, 3, 879, cjkTitleUtf8},
      {"UTF-16 first, fits",
       frame3("TIT2", bytes({1, 0xFE, 0xFF}) + cjk16(2)) + latin1Frame("TPE1", "x"), 39, 1, 42,
       cjk(2)},
      // 1072 bytes in UTF-8, 796 in UTF-16; UTF-16BE holds the ideographs in two bytes each
      // and needs no mark.
      {"ISO-8859-1 first",
       latin1Frame("TIT2", std::string(100, '\xE9')) +
           frame3("TPE1", bytes({3}) + bytes(cjk(280, 500))),
       972, 2, 792, e9Utf8},
      // 1444 bytes in UTF-8; every text is ISO-8859-1, which holds them byte for byte.
      {"UTF-8 among ISO-8859-1",
       latin1Frame("TIT2", e9) + frame3("TPE1", bytes({3, 'x'})) +
           latin1Frame("TALB", std::string(400, 'b')),
       944, 0, 944, e9},
      // ASCII only: ISO-8859-1 and UTF-8 make the same length; 0 comes first.
      {"UTF-16 ASCII among ISO-8859-1",
       frame3("TIT2", bytes({1, 0xFE, 0xFF, 0, 'H', 0, 'i'})) +
           latin1Frame("TPE1", std::string(600, 'a')),
       638, 0, 634, "Hi"},
      // 1356 in UTF-16, 1352 in UTF-16BE, 1512 in UTF-8; ISO-8859-1 cannot hold the
      // ideographs.
      {"fits in none", latin1Frame("TIT2", e9) + frame3("TPE1", bytes({3}) + bytes(cjk(160))), 1012,
       -1, 1352, ""},
  };
  using Door = int32_t (*)(ZEL_MARLO_PSD_MSG_t *, const Bytes &);
  const struct {
    const char *name;
    Door door;
  } doors[] = {
      {"setId3PsdMsg", throughSet}, {"loadId3PsdFile", throughFile}, {"receive road", throughRoad}};
  for (const Case &c : cases) {
    const Bytes t = tag(c.frames);
    ASSERT_EQ(t.size(), c.tagLength) << c.name;
    for (const auto &door : doors) {
      SCOPED_TRACE(std::string(c.name) + " through " + door.name);
      Handle msg;
      zel_marlo_setPsdTitle(msg, "kept");
      zel::test::LogCapture log;
      const int32_t rc = door.door(msg, t);
      if (c.encoding < 0) {
        EXPECT_EQ(rc, ZEL_MARLO_FAILURE);
        // The receive road adds its own report after the decoding's.
        const std::string logged = log.take();
        EXPECT_TRUE(logged.starts_with("orvo[730]: E_FORMAT pad message too long, '" +
                                       std::to_string(c.length) + " bytes'\n"))
            << logged;
        EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "kept");
        continue;
      }
      ASSERT_EQ(rc, ZEL_MARLO_SUCCESS) << msg.errorText();
      EXPECT_EQ(msg.encoding(), c.encoding);
      EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), c.title);
      const auto again = encode(msg);
      ASSERT_TRUE(again.ok) << msg.errorText();
      EXPECT_EQ(again.tag.size(), c.length);
      uint32_t length = 0;
      ASSERT_EQ(zel_marlo_createPsdMsg(msg, 1), ZEL_MARLO_SUCCESS) << msg.errorText();
      ASSERT_EQ(zel_marlo_getPsdMsgLength(msg, &length), ZEL_MARLO_SUCCESS);
      EXPECT_EQ(length, c.length);
      // Taken again, the tag it encodes to keeps the encoding and the length.
      Handle next;
      ASSERT_EQ(decode(next, again.tag), ZEL_MARLO_SUCCESS) << next.errorText();
      EXPECT_EQ(next.encoding(), c.encoding);
      EXPECT_EQ(encode(next).tag, again.tag);
    }
  }
}

// An owner of 192 characters or more stays absent, as an identifier of more than 64 bytes does;
// the rest of the tag is taken.
TEST(Id3Faithful, UfidOwnerLongerThanTheRecordHoldsStaysAbsent) {
  for (size_t n : {1u, 128u, 191u, 192u, 193u, 1000u, 32728u}) {
    SCOPED_TRACE(n);
    const std::string owner(n, 'o');
    Handle msg;
    zel_marlo_enablePsdUfid(msg, 1);
    zel_marlo_setPsdUfid(msg, "old", bytes({9}).data(), 1);
    ASSERT_EQ(decode(msg, tag(frame3("TIT2", bytes({0}) + bytes("t")) +
                              frame3("UFID", bytes(owner) + bytes({0, 1, 2, 3})))),
              ZEL_MARLO_SUCCESS)
        << msg.errorText();
    EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg)), n < 192 ? owner : "<null>");
    EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg), 3u);
    EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "t");
  }
}

// ---- the CRC-32 of a v2.3 extended header ----------------------------------------------------

uint32_t crcOf(const Bytes &b) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), b.data(), static_cast<uInt>(b.size())));
}

// A v2.3 extended header of the given size field, flags and padding size, then the CRC bytes
// (if any), the frames and the padding.
Bytes extendedTag(uint32_t size, int flags, const Bytes &crc, const Bytes &frames, size_t padding,
                  int tagFlags = 0x40) {
  return tag(be32(size) + bytes({flags >> 8, flags & 0xFF}) + be32(padding) + crc + frames +
                 Bytes(padding, 0),
             3, tagFlags);
}

bool libid3tagTakes(const Bytes &t) {
  id3_tag *parsed = id3_tag_parse(t.data(), t.size());
  if (parsed == nullptr) return false;
  id3_tag_delete(parsed);
  return true;
}

TEST(Id3Faithful, ExtendedHeaderCrcIsChecked) {
  const Bytes frames =
      frame3("TIT2", bytes({0}) + bytes("t")) + frame3("TPE1", bytes({0}) + bytes("a"));
  const uint32_t crc = crcOf(frames);
  // Unsynchronised: the CRC covers the frames as they are after unsynchronisation is undone.
  const Bytes unsyncFrames = frame3("TIT2", bytes({0, 'x', 0xFF, 0xE0, 'y'}));
  Bytes unsyncWire = unsyncFrames;
  unsyncWire.insert(unsyncWire.begin() + 13, 0x00);
  const uint32_t unsyncCrc = crcOf(unsyncFrames);
  struct Case {
    const char *what;
    Bytes tag;
    bool taken;
  } cases[] = {
      {"no CRC", extendedTag(6, 0, {}, frames, 0), true},
      {"no CRC, padding", extendedTag(6, 0, {}, frames, 7), true},
      {"room for a CRC that is not flagged", extendedTag(10, 0, be32(~crc), frames, 0), true},
      {"right CRC", extendedTag(10, 0x8000, be32(crc), frames, 0), true},
      {"right CRC, padding not counted", extendedTag(10, 0x8000, be32(crc), frames, 5), true},
      {"wrong CRC", extendedTag(10, 0x8000, be32(crc ^ 1), frames, 0), false},
      {"CRC over the padding too",
       extendedTag(10, 0x8000, be32(crcOf(frames + Bytes(5, 0))), frames, 5), false},
      {"CRC flagged, no room for it", extendedTag(6, 0x8000, {}, frames, 0), false},
      {"right CRC, unsynchronised", extendedTag(10, 0x8000, be32(unsyncCrc), unsyncWire, 0, 0xC0),
       true},
      {"CRC of the unsynchronised bytes",
       extendedTag(10, 0x8000, be32(crcOf(unsyncWire)), unsyncWire, 0, 0xC0), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.what) + ": " + hex(c.tag));
    // libid3tag's own verdict on the tag, which the screen must keep.
    EXPECT_EQ(libid3tagTakes(c.tag), c.taken);
    Handle msg;
    zel_marlo_setPsdTitle(msg, "kept");
    const int32_t result = decode(msg, c.tag);
    EXPECT_EQ(result, c.taken ? ZEL_MARLO_SUCCESS : ZEL_MARLO_FAILURE);
    if (c.taken) {
      EXPECT_NE(own(zel_marlo_getPsdTitle(msg)), "kept");
    } else {
      EXPECT_EQ(msg.errorText(),
                "orvo[822]: E_FORMAT id3 parse failed, len=" + std::to_string(c.tag.size()));
      EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "kept");
    }
  }
}

}  // namespace
