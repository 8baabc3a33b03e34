// SPDX-License-Identifier: GPL-2.0-or-later
// The measured length of a record's tag is the length encoding gives, and the verdict on it is
// encoding's verdict: over a table of edge cases and over every fuzz corpus, each file taken
// both as a tag to decode and as raw texts for the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/id3/decode.hpp"
#include "api/id3/encode.hpp"
#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"

namespace {

using zel::PsdContent;
using zel::Text;

// Measured against encoded, both verdicts and both reports, in every encoding (and two that
// do not exist).
void expectSameAsEncoding(const PsdContent &c, const std::string &what) {
  for (int encoding : {0, 1, 2, 3, -1, 4}) {
    zel::ErrorRecord encodeError, measureError;
    zel::id3::EncodedTag tag;
    const bool encoded = zel::id3::encodeTag(c, encoding, encodeError, tag);
    size_t length = 0;
    const bool measured = zel::id3::measureMessage(c, encoding, measureError, length);
    ASSERT_EQ(measured, encoded) << what << " encoding " << encoding << ": "
                                 << encodeError.text.value_or("");
    if (encoded) {
      EXPECT_EQ(length, tag.length) << what << " encoding " << encoding;
    } else {
      EXPECT_EQ(measureError.number, encodeError.number) << what;
      EXPECT_EQ(measureError.text, encodeError.text) << what << " encoding " << encoding;
    }
    EXPECT_EQ(zel::id3::measureTag(c, encoding), length) << what;
  }
}

PsdContent allGroups() {
  PsdContent c;
  c.coreEnabled = c.commentEnabled = c.commercialEnabled = c.ufidEnabled = 1;
  return c;
}

PsdContent fullMessage() {
  PsdContent c = allGroups();
  c.title = "title/topic/announcement";
  c.artist = "artist/host/sponsor";
  c.album = "album/show name/sponsor name";
  c.genre = "Jazz";
  c.commentTitle = "one-line comment title";
  c.commentDesc = "comment description text";
  c.price = "USD10.0";
  c.validUntil = "20041231";
  c.contactUrl = "http://www.example.com";
  c.recvAs = "0";
  c.sellerName = "seller's name";
  c.productDesc = "product description text";
  c.ufidOwnerId = "UFID Owner ID !!!!";
  c.ufidIdentifier.assign(20, 0x41);
  return c;
}

TEST(Id3Measure, EdgeCases) {
  struct Case {
    const char *what;
    void (*edit)(PsdContent &);
  } cases[] = {
      {"default message", [](PsdContent &) {}},
      {"no values", [](PsdContent &c) { c = allGroups(); }},
      {"groups off", [](PsdContent &c) { c.coreEnabled = c.commentEnabled = c.ufidEnabled = 0; }},
      {"switch 2 is off", [](PsdContent &c) { c.coreEnabled = c.commercialEnabled = 2; }},
      {"empty core texts (as decoding leaves them)",
       [](PsdContent &c) { c.title = c.artist = c.album = c.genre = std::string(); }},
      {"text cut at a zero byte", [](PsdContent &c) { c.title = std::string("\0abc", 4); }},
      {"comment title only", [](PsdContent &c) { c.commentDesc.reset(); }},
      {"comment present but empty",
       [](PsdContent &c) { c.commentTitle = std::string(), c.commentDesc.reset(); }},
      {"comment description only", [](PsdContent &c) { c.commentTitle.reset(); }},
      {"commercial one value",
       [](PsdContent &c) {
         c.price.reset(), c.validUntil.reset(), c.contactUrl.reset(), c.recvAs.reset(),
             c.sellerName.reset();
       }},
      {"commercial all empty",
       [](PsdContent &c) {
         for (Text *t :
              {&c.price, &c.validUntil, &c.contactUrl, &c.recvAs, &c.sellerName, &c.productDesc})
           *t = std::string();
       }},
      {"short date", [](PsdContent &c) { c.validUntil = "2004"; }},
      {"long date", [](PsdContent &c) { c.validUntil = "20041231 and more"; }},
      {"owner cut",
       [](PsdContent &c) {
         c.ufidOwnerId = std::string(150, 'o');
         c.ufidIdentifier.assign(64, 1);
       }},
      {"owner whole",
       [](PsdContent &c) {
         c.ufidOwnerId = std::string(128, 'o');
         c.ufidIdentifier.assign(64, 1);
       }},
      {"owner of 300 (decoded)", [](PsdContent &c) { c.ufidOwnerId = std::string(300, 'o'); }},
      {"identifier of 70 bytes", [](PsdContent &c) { c.ufidIdentifier.assign(70, 2); }},
      {"empty owner", [](PsdContent &c) { c.ufidOwnerId = std::string(); }},
      {"owner cut at a zero byte", [](PsdContent &c) { c.ufidOwnerId = std::string("\0x", 2); }},
      {"no identifier", [](PsdContent &c) { c.ufidIdentifier.clear(); }},
      {"line feeds",
       [](PsdContent &c) {
         c.title = "a\nb\n";
         c.commentDesc = "two\nlines";
         c.commentTitle = "x\ny";
         c.price = "\n";
         c.sellerName = "s\n";
         c.ufidOwnerId = "o\nwner";
       }},
      {"ill-formed UTF-8",
       [](PsdContent &c) {
         c.title = "\xC3\x28 \xE0\x80\x80 \xED\xA0\x80 \xF4\x90\x80\x80 \xF0\x9F\x98 \xFF\xC0\x80";
         c.commentDesc = "\x80\x80\xE6\x97";
         c.sellerName = "\xF8\x88\x80\x80\x80";
       }},
      {"four-byte characters",
       [](PsdContent &c) {
         c.title = "\xF0\x9F\x98\x80\xF0\x9F\x98\x81";
         c.productDesc = "\xF4\x8F\xBF\xBF";
       }},
      {"Latin-1 bytes", [](PsdContent &c) { c.artist = "Caf\xE9 \xFF\x80"; }},
      {"CJK",
       [](PsdContent &c) {
         std::string s;
         for (int i = 0; i < 100; ++i) s += "\xE6\x97\xA5";
         c.title = s;
       }},
      {"genres in parentheses", [](PsdContent &c) { c.genre = "(12)Talk"; }},
      {"genre (", [](PsdContent &c) { c.genre = "("; }},
      {"genre ((x", [](PsdContent &c) { c.genre = "((x"; }},
      {"title ( is not escaped", [](PsdContent &c) { c.title = "(Live)"; }},
      {"recvAs out of range", [](PsdContent &c) { c.recvAs = "99999999999"; }},
  };
  for (const Case &k : cases) {
    PsdContent c = fullMessage();
    k.edit(c);
    expectSameAsEncoding(c, k.what);
  }
}

TEST(Id3Measure, LargestTagBoundary) {
  // A title alone: 10 + 10 + 1 + n bytes in encoding 0.
  for (size_t n : {1002u, 1003u, 1004u, 1005u, 32768u}) {
    PsdContent c;
    c.title = std::string(n, 'a');
    expectSameAsEncoding(c, "title of " + std::to_string(n));
    zel::ErrorRecord error;
    size_t length = 0;
    EXPECT_EQ(zel::id3::measureMessage(c, 0, error, length), n <= 1003) << n;
    EXPECT_EQ(length, n + 21);
  }
  // The same boundary reached by a genre escape: 1003 characters with "(" first make 1025.
  PsdContent c;
  c.genre = "(" + std::string(1002, 'g');
  expectSameAsEncoding(c, "escaped genre at 1025");
  zel::ErrorRecord error;
  size_t length = 0;
  EXPECT_FALSE(zel::id3::measureMessage(c, 0, error, length));
  EXPECT_EQ(error.text, "orvo[730]: E_FORMAT pad message too long, '1025 bytes'");
}

// Raw bytes as a record: the first byte gives the group switches, the rest is cut at 0x1E into
// the texts in record order and the identifier. Each text is present when its piece is there.
PsdContent recordFromBytes(const std::vector<uint8_t> &bytes) {
  PsdContent c;
  if (bytes.empty()) return c;
  c.coreEnabled = bytes[0] & 1;
  c.commentEnabled = bytes[0] >> 1 & 1;
  c.commercialEnabled = bytes[0] >> 2 & 1;
  c.ufidEnabled = bytes[0] >> 3 & 1;
  Text PsdContent::*texts[] = {
      &PsdContent::title,      &PsdContent::artist,       &PsdContent::album,
      &PsdContent::genre,      &PsdContent::commentTitle, &PsdContent::commentDesc,
      &PsdContent::price,      &PsdContent::validUntil,   &PsdContent::contactUrl,
      &PsdContent::recvAs,     &PsdContent::sellerName,   &PsdContent::productDesc,
      &PsdContent::ufidOwnerId};
  size_t piece = 0;
  auto start = bytes.begin() + 1;
  while (start <= bytes.end() && piece <= std::size(texts)) {
    const auto end = std::find(start, bytes.end(), 0x1E);
    if (piece < std::size(texts))
      c.*texts[piece] = std::string(start, end);
    else
      c.ufidIdentifier.assign(start, end);
    ++piece;
    if (end == bytes.end()) break;
    start = end + 1;
  }
  return c;
}

TEST(Id3Measure, EveryCorpus) {
  size_t files = 0, decoded = 0;
  for (const auto &folder : std::filesystem::directory_iterator(ZEL_FUZZ_CORPUS)) {
    if (!folder.is_directory()) continue;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path())) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
      ++files;
      const std::string name =
          entry.path().parent_path().filename().string() + "/" + entry.path().filename().string();
      expectSameAsEncoding(recordFromBytes(bytes), name + " as texts");

      PsdContent c = allGroups();
      int encoding = 0;
      zel::ErrorRecord error;
      if (zel::id3::decodeTag(bytes, c, encoding, error)) {
        ++decoded;
        expectSameAsEncoding(c, name + " decoded");
      }
    }
  }
  EXPECT_GT(files, 0u);
  EXPECT_GT(decoded, 0u);
}

}  // namespace
