// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/handle.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/log_capture.hpp"

namespace {

using zel::test::LogCapture;

std::string badHandleLine(int site, const void *handle) {
  char line[96];
  std::snprintf(line, sizeof line, "orvoapi[%d]: BAD HANDLE - handle=0x%X\n", site,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
  return line;
}

class Handle : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zel_marlo_allocPsdMsg(&msg_), ZEL_MARLO_SUCCESS); }
  void TearDown() override { EXPECT_EQ(zel_marlo_deletePsdMsg(msg_), ZEL_MARLO_SUCCESS); }
  ZEL_MARLO_PSD_MSG_t *msg_ = nullptr;
};

TEST_F(Handle, FreshBlockHasDefaults) {
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), 0);
  EXPECT_EQ(zel_marlo_getErrorStr(msg_), nullptr);
  EXPECT_EQ(zel_marlo_isPsdCoreEnabled(msg_), 1);
  EXPECT_EQ(zel_marlo_isPsdCommentEnabled(msg_), 0);
  EXPECT_EQ(zel_marlo_isPsdCommercialEnabled(msg_), 0);
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg_), 0);
  EXPECT_EQ(msg_->self, msg_);
  EXPECT_EQ(msg_->encoding(), 0);
}

TEST_F(Handle, AllBlocksShareOneVeskHandleWithNumberingOff) {
  ZEL_MARLO_PSD_MSG_t *other = nullptr;
  ASSERT_EQ(zel_marlo_allocPsdMsg(&other), ZEL_MARLO_SUCCESS);
  ASSERT_NE(msg_->vesk, nullptr);
  EXPECT_EQ(other->vesk, msg_->vesk);
  EXPECT_EQ(msg_->vesk->type, VESK_TYPE_AFL_CL);
  EXPECT_EQ(msg_->vesk->clSeqOn, 0);
  EXPECT_EQ(msg_->vesk->aflSeqOn, 0);
  EXPECT_EQ(msg_->vesk->crcOn, 1);
  EXPECT_EQ(zel_marlo_getErrorNum(other), 0);  // the set-up ran once, without error
  zel_marlo_clearPsdMsg(other);
  EXPECT_EQ(other->vesk, msg_->vesk);
  zel_marlo_deletePsdMsg(other);
}

TEST_F(Handle, ReportsAreRecordedWhetherOrNotTheLogIsOn) {
  zel::reportPsdError(msg_->error, E_FORMAT, 1101, "invalid commercial validUntil year %s", "1969");
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), E_FORMAT);
  EXPECT_STREQ(zel_marlo_getErrorStr(msg_),
               "orvo[1101]: E_FORMAT invalid commercial validUntil year 1969");

  LogCapture log;  // turning the log on later does not replay the report
  EXPECT_EQ(log.take(), "");
  zel::reportPsdError(msg_->error, E_SEND, 1809, "cannot send zero length pad message %s", "");
  EXPECT_EQ(log.take(), "orvo[1809]: E_SEND cannot send zero length pad message \n");
  EXPECT_STREQ(zel_marlo_getErrorStr(msg_),
               "orvo[1809]: E_SEND cannot send zero length pad message ");
}

TEST_F(Handle, OverlongReportIsCutTo127Characters) {
  const std::string longText(300, 'x');
  zel::reportPsdError(msg_->error, E_FORMAT, 1084, "invalid commercial recvAs s code '%s'",
                      longText.c_str());
  const std::string text = zel_marlo_getErrorStr(msg_);
  EXPECT_EQ(text.size(), 127u);
  EXPECT_EQ(text.rfind("orvo[1084]: E_FORMAT invalid commercial recvAs s code 'xxx", 0), 0u);
}

TEST_F(Handle, CategoryWords) {
  const std::pair<int32_t, const char *> words[] = {
      {1, "E_SYSTEM"}, {2, "ZEL_MARLO_TYPE"}, {3, "ZEL_MARLO_FORMAT"}, {4, "VESK_PARSE"},
      {7, "E_SEND"},   {8, "E_FILE"},         {9, "E_FORMAT"},         {10, "XFER_RX"},
      {11, "SET_ID3"}, {12, "E_VESK_INIT"},
  };
  for (auto [num, word] : words) EXPECT_STREQ(zel::categoryWord(num), word) << num;
}

TEST_F(Handle, ClearDropsValuesAndErrorsButKeepsTheHandle) {
  zel_marlo_setPsdTitle(msg_, "t");
  zel_marlo_enablePsdCore(msg_, 0);
  zel_marlo_enablePsdUfid(msg_, 1);
  zel::reportPsdError(msg_->error, E_FILE, 1510, "file open failed for '%s'", "/x");
  EXPECT_EQ(zel_marlo_clearPsdMsg(msg_), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), 0);
  EXPECT_EQ(zel_marlo_getErrorStr(msg_), nullptr);
  EXPECT_EQ(zel_marlo_getPsdTitle(msg_), nullptr);
  EXPECT_EQ(zel_marlo_isPsdCoreEnabled(msg_), 1);
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg_), 0);
  EXPECT_EQ(msg_->self, msg_);
}

TEST(ErrorLog, SwitchAndStreams) {
  ZEL_MARLO_PSD_MSG_t *none = nullptr;
  {
    LogCapture log;
    zel_marlo_getErrorNum(none);
    EXPECT_EQ(log.take(), "orvoapi[1336]: BAD HANDLE - handle=0x0\n");
    zel_marlo_enableErrorLog(2, stdout);  // anything but 1 switches the log off
    ::testing::internal::CaptureStdout();
    zel_marlo_getErrorNum(none);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  }
  zel_marlo_enableErrorLog(1, nullptr);  // null stream: standard output
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(zel_marlo_getErrorNum(none), ZEL_MARLO_FAILURE);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "orvoapi[1336]: BAD HANDLE - handle=0x0\n");
  zel_marlo_enableErrorLog(0, nullptr);
}

TEST(FreeId3PsdMsg, ReleasesOnlyARecordWithData) {
  EXPECT_EQ(zel_marlo_freeId3PsdMsg(nullptr), ZEL_MARLO_FAILURE);
  ZEL_MARLO_ID3_PSD_MSG_t empty{0, nullptr};
  EXPECT_EQ(zel_marlo_freeId3PsdMsg(&empty), ZEL_MARLO_FAILURE);
  auto *rec = static_cast<ZEL_MARLO_ID3_PSD_MSG_t *>(std::malloc(sizeof(ZEL_MARLO_ID3_PSD_MSG_t)));
  rec->length = 3;
  rec->data = static_cast<uint8_t *>(std::malloc(3));
  EXPECT_EQ(zel_marlo_freeId3PsdMsg(rec), ZEL_MARLO_SUCCESS);  // leak checkers see the rest
}

// Every function that checks its handle rejects a null handle, a pointer into the middle of a
// block or off its alignment, a deleted handle, a block of two bytes and a foreign block with a
// handle's mark, without reading any of them; logs its own site number and returns its
// failure value.
TEST_F(Handle, EveryFunctionChecksItsHandle) {
  struct Case {
    const char *name;
    int site;
    std::function<bool(ZEL_MARLO_PSD_MSG_t *)> failsWith;  // true when the failure value came back
  };
  auto status = [](auto fn) {
    return [fn](ZEL_MARLO_PSD_MSG_t *m) { return fn(m) == ZEL_MARLO_FAILURE; };
  };
  auto nothing = [](auto fn) { return [fn](ZEL_MARLO_PSD_MSG_t *m) { return fn(m) == nullptr; }; };
  auto zeroFlag = [](uint8_t (*fn)(ZEL_MARLO_PSD_MSG_t *)) {
    return [fn](ZEL_MARLO_PSD_MSG_t *m) { return fn(m) == 0; };
  };
  static const uint8_t id[1] = {1};
  const Case cases[] = {
      {"getErrorNum", 1336, status(zel_marlo_getErrorNum)},
      {"getErrorStr", 1344, nothing(zel_marlo_getErrorStr)},
      {"deletePsdMsg", 1397, status(zel_marlo_deletePsdMsg)},
      {"clearPsdMsg", 1409, status(zel_marlo_clearPsdMsg)},
      {"isPsdCoreEnabled", 1609, zeroFlag(zel_marlo_isPsdCoreEnabled)},
      {"enablePsdCore", 1617, status([](auto m) { return zel_marlo_enablePsdCore(m, 1); })},
      {"isPsdCommentEnabled", 1627, zeroFlag(zel_marlo_isPsdCommentEnabled)},
      {"enablePsdComment", 1635, status([](auto m) { return zel_marlo_enablePsdComment(m, 1); })},
      {"isPsdCommercialEnabled", 1645, zeroFlag(zel_marlo_isPsdCommercialEnabled)},
      {"enablePsdCommercial", 1653,
       status([](auto m) { return zel_marlo_enablePsdCommercial(m, 1); })},
      {"isPsdUfidEnabled", 1663, zeroFlag(zel_marlo_isPsdUfidEnabled)},
      {"enablePsdUfid", 1671, status([](auto m) { return zel_marlo_enablePsdUfid(m, 1); })},
      {"setPsdTitle", 2726, status([](auto m) { return zel_marlo_setPsdTitle(m, "t"); })},
      {"getPsdTitle", 2736, nothing(zel_marlo_getPsdTitle)},
      {"setPsdArtist", 2744, status([](auto m) { return zel_marlo_setPsdArtist(m, "a"); })},
      {"getPsdArtist", 2754, nothing(zel_marlo_getPsdArtist)},
      {"setPsdAlbum", 2762, status([](auto m) { return zel_marlo_setPsdAlbum(m, "a"); })},
      {"getPsdAlbum", 2772, nothing(zel_marlo_getPsdAlbum)},
      {"setPsdGenre", 2780, status([](auto m) { return zel_marlo_setPsdGenre(m, "g"); })},
      {"getPsdGenre", 2790, nothing(zel_marlo_getPsdGenre)},
      {"setPsdComment", 2800, status([](auto m) { return zel_marlo_setPsdComment(m, "t", "d"); })},
      {"getPsdCommentTitle", 2811, nothing(zel_marlo_getPsdCommentTitle)},
      {"getPsdCommentDesc", 2820, nothing(zel_marlo_getPsdCommentDesc)},
      {"setPsdCommercial", 2834, status([](auto m) {
         return zel_marlo_setPsdCommercial(m, "p", "20041231", "u", "0", "s", "d");
       })},
      {"getPsdCommercialPrice", 2849, nothing(zel_marlo_getPsdCommercialPrice)},
      {"getPsdCommentValidUntil", 2857, nothing(zel_marlo_getPsdCommentValidUntil)},
      {"getPsdCommentContactUrl", 2865, nothing(zel_marlo_getPsdCommentContactUrl)},
      {"getPsdCommentRecvAs", 2873, nothing(zel_marlo_getPsdCommentRecvAs)},
      {"getPsdCommentSellerName", 2881, nothing(zel_marlo_getPsdCommentSellerName)},
      {"getPsdCommentProductDesc", 2889, nothing(zel_marlo_getPsdCommentProductDesc)},
      {"setPsdUfid", 2903, status([](auto m) { return zel_marlo_setPsdUfid(m, "o", id, 1); })},
      {"getPsdUfidOwnerId", 2938, nothing(zel_marlo_getPsdUfidOwnerId)},
      {"getPsdUfidIdentifier", 2954, nothing(zel_marlo_getPsdUfidIdentifier)},
      {"validatePsdMsg", 1421, status(zel_marlo_validatePsdMsg)},
      {"getPsdMsgLength", 1436, status([](auto m) {
         uint32_t n = 0;
         return zel_marlo_getPsdMsgLength(m, &n);
       })},
      {"getId3PsdMsg", 1453, status([](auto m) {
         ZEL_MARLO_ID3_PSD_MSG_t *r = nullptr;
         return zel_marlo_getId3PsdMsg(m, &r);
       })},
      {"setId3PsdMsg", 1463, status([](auto m) {
         static uint8_t none[1] = {0};
         ZEL_MARLO_ID3_PSD_MSG_t r{1, none};
         return zel_marlo_setId3PsdMsg(m, &r);
       })},
      {"loadId3PsdFile", 1502, status([](auto m) { return zel_marlo_loadId3PsdFile(m, "/"); })},
      {"saveId3PsdFile", 1569,
       status([](auto m) { return zel_marlo_saveId3PsdFile(m, "/nonexistent/x"); })},
      {"sprintPsdMsg", 2994, nothing([](auto m) { return zel_marlo_sprintPsdMsg(m, 1); })},
      {"fprintPsdMsg", 3154, status([](auto m) { return zel_marlo_fprintPsdMsg(m, stdout, 1); })},
      {"setId3TextEncoding", 3192,
       status([](auto m) { return zel_marlo_setId3TextEncoding(m, 3); })},
      {"getId3TextEncoding", 3223, status([](auto m) {
         int32_t e = 0;
         return zel_marlo_getId3TextEncoding(m, &e);
       })},
      {"parsePsdMsg", 1686, status([](auto m) {
         uint16_t contentId = 0;
         return zel_marlo_parsePsdMsg(m, &contentId);
       })},
      {"createPsdMsg", 1792, status([](auto m) { return zel_marlo_createPsdMsg(m, 1); })},
      {"sendRawPsdMsg", 2125,
       status([](auto m) { return zel_marlo_sendRawPsdMsg(m, "127.0.0.1", 9); })},
      {"sendPsdMsg", 2165, status([](auto m) {
         return zel_marlo_sendPsdMsg(m, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD);
       })},
      {"sendPsdMsgToBuffer", 2401, status([](auto m) {
         uint8_t *b = nullptr;
         uint32_t n = 0;
         return zel_marlo_sendPsdMsgToBuffer(m, &b, &n, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                             ZEL_MARLO_MSG_ID_PSD);
       })},
  };

  zel_marlo_setPsdTitle(msg_, "kept");
  auto *inside = reinterpret_cast<ZEL_MARLO_PSD_MSG_t *>(reinterpret_cast<char *>(msg_) + 8);
  auto *misaligned = reinterpret_cast<ZEL_MARLO_PSD_MSG_t *>(reinterpret_cast<char *>(msg_) + 1);
  // A deleted handle: under AddressSanitizer reading it would be a use after free.
  ZEL_MARLO_PSD_MSG_t *deleted = nullptr;
  ASSERT_EQ(zel_marlo_allocPsdMsg(&deleted), ZEL_MARLO_SUCCESS);
  ASSERT_EQ(zel_marlo_deletePsdMsg(deleted), ZEL_MARLO_SUCCESS);
  // A block of two bytes: reading a word from it would overrun it.
  void *small = std::malloc(2);
  // A foreign block that carries its own address in its first word, like a handle's mark.
  auto *forged = static_cast<void **>(std::calloc(64, sizeof(void *)));
  forged[0] = forged;
  const ZEL_MARLO_PSD_MSG_t *bads[] = {nullptr,
                                       inside,
                                       misaligned,
                                       deleted,
                                       static_cast<ZEL_MARLO_PSD_MSG_t *>(small),
                                       reinterpret_cast<ZEL_MARLO_PSD_MSG_t *>(forged)};
  LogCapture log;
  for (const Case &c : cases) {
    for (const ZEL_MARLO_PSD_MSG_t *bad : bads) {
      auto *handle = const_cast<ZEL_MARLO_PSD_MSG_t *>(bad);
      EXPECT_TRUE(c.failsWith(handle)) << c.name;
      EXPECT_EQ(log.take(), badHandleLine(c.site, bad)) << c.name;
    }
  }
  // Nothing was recorded or changed in the real block, and the size reader is silent.
  for (const ZEL_MARLO_PSD_MSG_t *bad : bads)
    EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(const_cast<ZEL_MARLO_PSD_MSG_t *>(bad)), 0u);
  EXPECT_EQ(log.take(), "");
  EXPECT_EQ(forged[0], forged);
  std::free(small);
  std::free(forged);
  EXPECT_EQ(zel_marlo_getErrorNum(msg_), 0);
  char *title = zel_marlo_getPsdTitle(msg_);
  EXPECT_STREQ(title, "kept");
  std::free(title);
}

}  // namespace
