// SPDX-License-Identifier: GPL-2.0-or-later
// A handle remembers what it found valid of its content only as long as that content, its
// switches and its encoding stay: after every operation that changes them, validation, the
// length and the tag are those a handle that never validated gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "support/id3_support.hpp"
#include "support/message_fill.hpp"

namespace {

using zel::test::Bytes;
using zel::test::Handle;

// Every field set and every group enabled.
void fill(ZEL_MARLO_PSD_MSG_t *msg) {
  zel::test::fillEveryField(msg);
  zel::test::enableEveryGroup(msg);
}

// What validation, the length and the tag say of a message.
struct Verdict {
  int32_t valid = 0;
  std::string error;
  int32_t lengthResult = 0;
  uint32_t length = 0;
  zel::test::Encoded tag;
};

Verdict verdictOf(ZEL_MARLO_PSD_MSG_t *msg) {
  Verdict v;
  v.valid = zel_marlo_validatePsdMsg(msg);
  if (v.valid != ZEL_MARLO_SUCCESS) {
    const char *text = zel_marlo_getErrorStr(msg);
    v.error = text != nullptr ? text : "";
  }
  v.lengthResult = zel_marlo_getPsdMsgLength(msg, &v.length);
  v.tag = zel::test::encode(msg);
  return v;
}

void expectSame(const Verdict &a, const Verdict &b, const std::string &what) {
  EXPECT_EQ(a.valid, b.valid) << what;
  EXPECT_EQ(a.error, b.error) << what;
  EXPECT_EQ(a.lengthResult, b.lengthResult) << what;
  EXPECT_EQ(a.length, b.length) << what;
  EXPECT_EQ(a.tag.ok, b.tag.ok) << what;
  EXPECT_EQ(zel::test::hex(a.tag.tag), zel::test::hex(b.tag.tag)) << what;
  if (a.lengthResult == ZEL_MARLO_SUCCESS && a.tag.ok) {
    EXPECT_EQ(a.length, a.tag.tag.size()) << what << ": the length is the tag's";
  }
}

// The tag of a message of its own, for the operations that take one over.
Bytes otherTag() {
  Handle other;
  zel_marlo_setPsdTitle(other, "another title, taken over");
  return zel::test::encode(other).tag;
}

TEST(CheckedOnce, EveryChangeForgetsWhatWasFoundValid) {
  const std::string file =
      (std::filesystem::temp_directory_path() / ("zel_checked_once_" + std::to_string(getpid())))
          .string();
  struct Change {
    const char *what;
    std::function<void(ZEL_MARLO_PSD_MSG_t *)> apply;
  } changes[] = {
      {"core switch", [](auto m) { zel_marlo_enablePsdCore(m, 0); }},
      {"comment switch", [](auto m) { zel_marlo_enablePsdComment(m, 0); }},
      {"commercial switch", [](auto m) { zel_marlo_enablePsdCommercial(m, 2); }},
      {"UFID switch", [](auto m) { zel_marlo_enablePsdUfid(m, 0); }},
      {"title", [](auto m) { zel_marlo_setPsdTitle(m, std::string(1100, 't').c_str()); }},
      {"title removed", [](auto m) { zel_marlo_setPsdTitle(m, nullptr); }},
      {"artist", [](auto m) { zel_marlo_setPsdArtist(m, "a"); }},
      {"album", [](auto m) { zel_marlo_setPsdAlbum(m, "an album of a longer name"); }},
      {"genre", [](auto m) { zel_marlo_setPsdGenre(m, "(Live)"); }},
      {"comment", [](auto m) { zel_marlo_setPsdComment(m, nullptr, "description only"); }},
      {"commercial",
       [](auto m) {
         zel_marlo_setPsdCommercial(m, "USD10.0", "19691231", "http://shop", "0", "seller",
                                    "product");
       }},
      {"UFID", [](auto m) { zel_marlo_setPsdUfid(m, "owner", nullptr, 0); }},
      {"UFID refused",
       [](auto m) {
         const uint8_t big[65] = {};
         zel_marlo_setPsdUfid(m, "owner", big, sizeof big);
       }},
      {"text encoding", [](auto m) { zel_marlo_setId3TextEncoding(m, ZEL_MARLO_ID3_ENC_UTF_16); }},
      {"clear", [](auto m) { zel_marlo_clearPsdMsg(m); }},
      {"tag taken over", [](auto m) { zel::test::decode(m, otherTag()); }},
      {"file loaded",
       [&file](auto m) {
         Handle other;
         zel::test::decode(other, otherTag());
         ASSERT_EQ(zel_marlo_saveId3PsdFile(other, file.c_str()), ZEL_MARLO_SUCCESS);
         ASSERT_EQ(zel_marlo_loadId3PsdFile(m, file.c_str()), ZEL_MARLO_SUCCESS);
       }},
      {"message received",
       [](auto m) {
         Handle other;
         zel::test::decode(other, otherTag());
         ASSERT_EQ(zel_marlo_createPsdMsg(other, 7), ZEL_MARLO_SUCCESS);
         const Bytes packet = zel::test::packetOf(other, ZEL_MARLO_VESK_TYPE_AFL_CL);
         ASSERT_FALSE(packet.empty());
         ZEL_MARLO_MSG_ID_t id;
         uint16_t contentId = 0;
         EXPECT_EQ(
             zel_marlo_recvPsdMsgFromBuffer(m, packet.data(), static_cast<uint32_t>(packet.size()),
                                            ZEL_MARLO_VESK_TYPE_AFL_CL, &id),
             ZEL_MARLO_SUCCESS);
         EXPECT_EQ(zel_marlo_parsePsdMsg(m, &contentId), ZEL_MARLO_SUCCESS);
       }},
  };
  for (const Change &change : changes) {
    // Checked in every way before the change, so that whatever it remembers is in place.
    Handle checked;
    fill(checked);
    const Verdict before = verdictOf(checked);
    ASSERT_EQ(before.valid, ZEL_MARLO_SUCCESS) << before.error;
    ASSERT_EQ(zel_marlo_createPsdMsg(checked, 1), ZEL_MARLO_SUCCESS);
    change.apply(checked);

    Handle fresh;
    fill(fresh);
    change.apply(fresh);
    const Verdict expected = verdictOf(fresh);
    // A change the verdict cannot tell from no change would test nothing.
    EXPECT_TRUE(expected.valid != before.valid || expected.length != before.length) << change.what;
    expectSame(verdictOf(checked), expected, change.what);
  }
  std::remove(file.c_str());
}

// Validation, the printout and the length agree on the content last set, whichever was asked
// first.
TEST(CheckedOnce, LengthFollowsTheContent) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "Hi");
  uint32_t length = 0;
  ASSERT_EQ(zel_marlo_getPsdMsgLength(msg, &length), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(length, 23u);
  ASSERT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_SUCCESS);
  zel_marlo_setPsdTitle(msg, "Hi!");
  ASSERT_EQ(zel_marlo_getPsdMsgLength(msg, &length), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(length, 24u);
  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  ASSERT_EQ(zel_marlo_getId3PsdMsg(msg, &tag), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(tag->length, 24u);
  zel_marlo_freeId3PsdMsg(tag);
  // A failed encoding setting changes nothing and the length stays.
  EXPECT_EQ(zel_marlo_setId3TextEncoding(msg, 4), ZEL_MARLO_FAILURE);
  ASSERT_EQ(zel_marlo_getPsdMsgLength(msg, &length), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(length, 24u);
}

}  // namespace
