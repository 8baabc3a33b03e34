// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/id3_support.hpp"
#include "support/message_fill.hpp"
#include "support/temp_folder.hpp"

namespace {

namespace fs = std::filesystem;
using zel::test::Bytes;
using zel::test::bytes;
using zel::test::frame3;
using zel::test::Handle;
using zel::test::own;
using zel::test::tag;
using zel::test::operator+;

class Id3File : public zel::test::TempFolderTest {};

using zel::test::fillEveryField;
using zel::test::kEveryFieldIdentifier;

void setSwitches(ZEL_MARLO_PSD_MSG_t *msg, int enabledGroup) {
  zel_marlo_enablePsdCore(msg, enabledGroup == 0);
  zel_marlo_enablePsdComment(msg, enabledGroup == 1);
  zel_marlo_enablePsdCommercial(msg, enabledGroup == 2);
  zel_marlo_enablePsdUfid(msg, enabledGroup == 3);
}

TEST_F(Id3File, SaveAndLoadEachGroup) {
  using Reader = char *(*)(ZEL_MARLO_PSD_MSG_t *);
  const std::vector<std::vector<Reader>> groups = {
      {zel_marlo_getPsdTitle, zel_marlo_getPsdArtist, zel_marlo_getPsdAlbum, zel_marlo_getPsdGenre},
      {zel_marlo_getPsdCommentTitle, zel_marlo_getPsdCommentDesc},
      {zel_marlo_getPsdCommercialPrice, zel_marlo_getPsdCommentValidUntil,
       zel_marlo_getPsdCommentContactUrl, zel_marlo_getPsdCommentRecvAs,
       zel_marlo_getPsdCommentSellerName, zel_marlo_getPsdCommentProductDesc},
      {zel_marlo_getPsdUfidOwnerId},
  };
  for (int group = 0; group < 4; ++group) {
    const std::string file = path("group" + std::to_string(group) + ".id3");
    Handle saved;
    fillEveryField(saved);
    setSwitches(saved, group);
    ASSERT_EQ(zel_marlo_saveId3PsdFile(saved, file.c_str()), ZEL_MARLO_SUCCESS)
        << saved.errorText();
    EXPECT_EQ(read(file), zel::test::encode(saved).tag);

    Handle loaded;
    fillEveryField(loaded);
    setSwitches(loaded, group);
    zel_marlo_setId3TextEncoding(loaded, ZEL_MARLO_ID3_ENC_UTF_16);
    ASSERT_EQ(zel_marlo_loadId3PsdFile(loaded, file.c_str()), ZEL_MARLO_SUCCESS)
        << loaded.errorText();
    for (int g = 0; g < 4; ++g)
      for (Reader reader : groups[g])
        EXPECT_EQ(own(reader(loaded)), g == group ? own(reader(saved)) : "<null>") << group;
    EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(loaded),
              group == 3 ? sizeof kEveryFieldIdentifier : 0u);
    EXPECT_EQ(zel_marlo_isPsdCoreEnabled(loaded), group == 0);
    EXPECT_EQ(zel_marlo_isPsdUfidEnabled(loaded), group == 3);
    EXPECT_EQ(loaded.encoding(), 0);
  }
}

TEST_F(Id3File, SavingTruncatesAndAnEmptyMessageGivesAnEmptyFile) {
  const std::string file = path("empty.id3");
  write(file, Bytes(100, 'x'));
  Handle msg;
  ASSERT_EQ(zel_marlo_saveId3PsdFile(msg, file.c_str()), ZEL_MARLO_SUCCESS);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(Id3File, SaveThatFailsValidationCreatesNoFile) {
  const std::string file = path("invalid.id3");
  Handle msg;
  zel_marlo_setPsdComment(msg, nullptr, "desc");
  EXPECT_EQ(zel_marlo_saveId3PsdFile(msg, file.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1020]: E_FORMAT comment title required ");
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(Id3File, LoadingWhatIsNoTag) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "kept");

  const std::string empty = path("empty");
  write(empty, {});
  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, empty.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[811]: E_FORMAT could not find id3 tag ");

  const std::string text = path("text");
  write(text, bytes("just some text\n"));
  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, text.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[822]: E_FORMAT id3 parse failed, len=15");

  // A tag whose content fails validation is not taken either.
  const std::string invalid = path("invalid");
  write(invalid, tag(frame3("COMM", bytes({0}) + bytes("eng") + bytes({0}) + bytes("text"))));
  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, invalid.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1020]: E_FORMAT comment title required ");
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "kept");
}

TEST_F(Id3File, TagFollowedByOtherBytes) {
  const std::string file = path("song.mp3");
  write(file, tag(frame3("TIT2", bytes({0}) + bytes("Song"))) + Bytes(5000, 0xFF));
  Handle msg;
  ASSERT_EQ(zel_marlo_loadId3PsdFile(msg, file.c_str()), ZEL_MARLO_SUCCESS) << msg.errorText();
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "Song");
}

TEST_F(Id3File, PathsThatCannotBeUsed) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, "t");
  const std::string missing = path("missing/none.id3");
  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, missing.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorNum(), E_FILE);
  EXPECT_EQ(msg.errorText(), "orvo[1510]: E_FILE file open failed for '" + missing + "'");

  // A directory opens for reading but cannot be read.
  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, dir_.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorNum(), E_FILE);
  EXPECT_EQ(msg.errorText(), "orvo[1544]: E_FILE file read failed for '" + dir_.string() + "'");

  EXPECT_EQ(zel_marlo_saveId3PsdFile(msg, missing.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1582]: E_FILE file open failed for '" + missing + "'");
  EXPECT_EQ(zel_marlo_saveId3PsdFile(msg, dir_.c_str()), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1582]: E_FILE file open failed for '" + dir_.string() + "'");

  // The write only fails when the stream is flushed.
  if (fs::exists("/dev/full")) {
    EXPECT_EQ(zel_marlo_saveId3PsdFile(msg, "/dev/full"), ZEL_MARLO_FAILURE);
    EXPECT_EQ(msg.errorText(), "orvo[1593]: E_FILE file write failed for '/dev/full'");
  }

  EXPECT_EQ(zel_marlo_loadId3PsdFile(msg, nullptr), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText(), "orvo[1510]: E_FILE file open failed for ''");
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "t");
}

}  // namespace
