// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "api/handle.hpp"
#include "receive_road_table.hpp"
#include "support/api_text.hpp"
#include "support/log_capture.hpp"
#include "support/packet_of.hpp"
#include "support/udp.hpp"

namespace {

using zel::road::fillAllGroups;  // every group, valid
using zel::test::errorText;
using zel::test::kEveryFieldIdentifier;
using zel::test::own;

using Bytes = std::vector<uint8_t>;
using zel::test::LogCapture;
using zel::test::UdpSocket;

// A host name the resolver refuses without asking any name server (a label above 63 bytes).
const std::string kUnresolvable = std::string(70, 'x') + ".invalid";

void expectAllGroups(ZEL_MARLO_PSD_MSG_t *msg) {
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg)), "Title");
  EXPECT_EQ(own(zel_marlo_getPsdArtist(msg)), "Artist");
  EXPECT_EQ(own(zel_marlo_getPsdAlbum(msg)), "Album");
  EXPECT_EQ(own(zel_marlo_getPsdGenre(msg)), "Genre");
  EXPECT_EQ(own(zel_marlo_getPsdCommentTitle(msg)), "CTitle");
  EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg)), "line 1\nline 2");
  EXPECT_EQ(own(zel_marlo_getPsdCommercialPrice(msg)), "USD10.0");
  EXPECT_EQ(own(zel_marlo_getPsdCommentValidUntil(msg)), "20041231");
  EXPECT_EQ(own(zel_marlo_getPsdCommentContactUrl(msg)), "http://shop");
  EXPECT_EQ(own(zel_marlo_getPsdCommentRecvAs(msg)), "2");
  EXPECT_EQ(own(zel_marlo_getPsdCommentSellerName(msg)), "Seller");
  EXPECT_EQ(own(zel_marlo_getPsdCommentProductDesc(msg)), "Product");
  EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg)), "owner");
  ASSERT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg), sizeof kEveryFieldIdentifier);
  uint8_t *id = zel_marlo_getPsdUfidIdentifier(msg);
  EXPECT_EQ(Bytes(id, id + sizeof kEveryFieldIdentifier),
            Bytes(kEveryFieldIdentifier, kEveryFieldIdentifier + sizeof kEveryFieldIdentifier));
  std::free(id);
}

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zel_marlo_allocPsdMsg(&tx_), ZEL_MARLO_SUCCESS);
    ASSERT_EQ(zel_marlo_allocPsdMsg(&rx_), ZEL_MARLO_SUCCESS);
  }
  void TearDown() override {
    zel_marlo_deletePsdMsg(tx_);
    zel_marlo_deletePsdMsg(rx_);
  }

  // The packet sendPsdMsgToBuffer hands out for tx_, as bytes.
  Bytes toBuffer(ZEL_MARLO_VESK_TYPE_t kind, ZEL_MARLO_MSG_ID_t id, int32_t expected = 1) {
    return zel::test::packetOf(tx_, kind, id, expected);
  }

  // The ID3 tag tx_ encodes to.
  Bytes tag() {
    ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
    EXPECT_EQ(zel_marlo_getId3PsdMsg(tx_, &id3), ZEL_MARLO_SUCCESS);
    Bytes out(id3->data, id3->data + id3->length);
    zel_marlo_freeId3PsdMsg(id3);
    return out;
  }

  ZEL_MARLO_PSD_MSG_t *tx_ = nullptr;
  ZEL_MARLO_PSD_MSG_t *rx_ = nullptr;
};

Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// The container the library builds around a tag.
Bytes container(const Bytes &tag, uint16_t contentId) {
  const auto n = static_cast<uint32_t>(tag.size());
  Bytes c = {0x00,  // reserved
             0x00,  // type: PSD
             0x01,  // format: ID3
             0x00,  // options: no extension header
             0x01,
             0x00,  // parameter 1, little-endian
             uint8_t(contentId),
             uint8_t(contentId >> 8),  // content id, little-endian
             uint8_t(n),
             uint8_t(n >> 8),
             uint8_t(n >> 16),
             uint8_t(n >> 24)};  // payload length
  c.insert(c.end(), tag.begin(), tag.end());
  return c;
}

TEST_F(Transfer, RoadThroughBuffersGivesBackEveryFieldForBothKinds) {
  for (ZEL_MARLO_VESK_TYPE_t kind : {ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_VESK_TYPE_CL}) {
    SCOPED_TRACE(kind);
    zel_marlo_clearPsdMsg(tx_);
    zel_marlo_clearPsdMsg(rx_);
    fillAllGroups(tx_);
    ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 0x11234), ZEL_MARLO_SUCCESS) << errorText(tx_);
    const Bytes packet = toBuffer(kind, ZEL_MARLO_MSG_ID_PSD);

    ZEL_MARLO_MSG_ID_t id = -1;
    ASSERT_EQ(
        zel_marlo_recvPsdMsgFromBuffer(rx_, packet.data(), uint32_t(packet.size()), kind, &id),
        ZEL_MARLO_SUCCESS)
        << errorText(rx_);
    EXPECT_EQ(id, ZEL_MARLO_MSG_ID_PSD);
    uint16_t contentId = 0;
    ASSERT_EQ(zel_marlo_parsePsdMsg(rx_, &contentId), ZEL_MARLO_SUCCESS) << errorText(rx_);
    EXPECT_EQ(contentId, 0x1234);  // the low 16 bits travel
    expectAllGroups(rx_);
  }
}

TEST_F(Transfer, PacketBytesOfBothKinds) {
  zel_marlo_setPsdTitle(tx_, "Hi");
  const Bytes c = container(tag(), 7);

  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 7), ZEL_MARLO_SUCCESS);
  const Bytes cl = toBuffer(ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_PSD);
  Bytes expected = {0x10,                     // CL version
                    0x00,                     // flags
                    0x00, 0x01,               // sequence number 1
                    0x00, 0x00, 0x00, 0x00};  // message id: PSD
  const Bytes n = be32(uint32_t(c.size()));
  expected.insert(expected.end(), n.begin(), n.end());
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_EQ(cl, expected);

  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 7), ZEL_MARLO_SUCCESS);
  const Bytes two = toBuffer(ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_PSD);
  ASSERT_EQ(two.size(), c.size() + 28);
  Bytes head = {0x41, 0x46};                      // sync "AF"
  const Bytes l = be32(uint32_t(c.size() + 16));  // length from offset 12, CRC included
  head.insert(head.end(), l.begin(), l.end());
  head.insert(head.end(), {0x00, 0x01,                        // AFL sequence number 1
                           0x90,                              // AFL version, CRC present
                           0x69,                              // protocol 'i'
                           0x10, 0x00,                        // TAL version, no extension
                           0x01, 0x02});                      // TAL fields 1 and 2
  head.insert(head.end(), expected.begin(), expected.end());  // the CL packet
  EXPECT_EQ(Bytes(two.begin(), two.end() - 2), head);
}

TEST_F(Transfer, FlushPacketsAndTheContainerTheyLeave) {
  const Bytes flush = toBuffer(ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_FLUSH);
  EXPECT_EQ(flush, (Bytes{0x41, 0x46, 0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0x90, 0x69,
                          0x10, 0x00, 0x01, 0x02, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00,
                          0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3E, 0x59}));
  const Bytes clFlush = toBuffer(ZEL_MARLO_VESK_TYPE_CL, ZEL_MARLO_MSG_ID_FLUSH);
  EXPECT_EQ(clFlush, (Bytes{0x10, 0x00, 0x00, 0x01, 0, 0, 0, 1, 0, 0, 0, 0}));

  // A PSD packet, then a flush: the flush reports id 1 and keeps the container for the parse.
  zel_marlo_setPsdTitle(tx_, "kept");
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 3), ZEL_MARLO_SUCCESS);
  const Bytes psd = toBuffer(ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_PSD);
  ZEL_MARLO_MSG_ID_t id = -1;
  ASSERT_EQ(zel_marlo_recvPsdMsgFromBuffer(rx_, psd.data(), uint32_t(psd.size()), 0, &id), 1);
  ASSERT_EQ(zel_marlo_recvPsdMsgFromBuffer(rx_, flush.data(), uint32_t(flush.size()), 0, &id), 1);
  EXPECT_EQ(id, ZEL_MARLO_MSG_ID_FLUSH);
  uint16_t contentId = 0;
  ASSERT_EQ(zel_marlo_parsePsdMsg(rx_, &contentId), ZEL_MARLO_SUCCESS) << errorText(rx_);
  EXPECT_EQ(contentId, 3);
  EXPECT_EQ(own(zel_marlo_getPsdTitle(rx_)), "kept");

  // The parse released the container: a second one fails with error 4.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(zel_marlo_parsePsdMsg(rx_, &contentId), ZEL_MARLO_FAILURE);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "   psdmsg_parse input NULL ");
  EXPECT_EQ(zel_marlo_getErrorNum(rx_), VESK_PARSE);
  EXPECT_EQ(errorText(rx_), "orvo[1704]: VESK_PARSE psdmsg_parse error  ");
}

TEST_F(Transfer, SendConsumesThePreparedContainer) {
  zel_marlo_setPsdTitle(tx_, "once");
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_getPsdMsgLength(tx_, nullptr), ZEL_MARLO_SUCCESS);
  toBuffer(ZEL_MARLO_VESK_TYPE_AFL_CL, ZEL_MARLO_MSG_ID_PSD);
  uint8_t *buffer = nullptr;
  uint32_t length = 99;
  EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(tx_, &buffer, &length, 0, 0), ZEL_MARLO_FAILURE);
  EXPECT_EQ(buffer, nullptr);  // nothing handed out
  EXPECT_EQ(zel_marlo_getErrorNum(tx_), E_SEND);
  EXPECT_EQ(errorText(tx_), "orvo[2421]: E_SEND no PSD message created to send ");
  EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD), ZEL_MARLO_FAILURE);
  EXPECT_EQ(errorText(tx_), "orvo[2190]: E_SEND no PSD message created to send ");
}

TEST_F(Transfer, TagLengthAndContainerLength) {
  fillAllGroups(tx_);
  uint32_t length = 0;
  ASSERT_EQ(zel_marlo_getPsdMsgLength(tx_, &length), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(length, tag().size());
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 0), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(tx_->container->size(), length + 12);
}

// One row per report: how to provoke it, and the error number and text it leaves.
TEST_F(Transfer, EveryReportOnce) {
  struct Case {
    const char *name;
    std::function<int32_t(ZEL_MARLO_PSD_MSG_t *)> call;
    int32_t errorNum;
    const char *text;
  };
  auto withTitle = [](ZEL_MARLO_PSD_MSG_t *m) {
    zel_marlo_setPsdTitle(m, "t");
    return zel_marlo_createPsdMsg(m, 1);
  };
  auto fromBuffer = [](Bytes bytes, ZEL_MARLO_VESK_TYPE_t kind) {
    return [bytes, kind](ZEL_MARLO_PSD_MSG_t *m) {
      ZEL_MARLO_MSG_ID_t id;
      return zel_marlo_recvPsdMsgFromBuffer(m, bytes.data(), uint32_t(bytes.size()), kind, &id);
    };
  };
  // A received container of the given bytes, then a parse.
  auto parseOf = [](Bytes c) {
    return [c](ZEL_MARLO_PSD_MSG_t *m) {
      m->rxPayload = c;
      uint16_t id;
      return zel_marlo_parsePsdMsg(m, &id);
    };
  };
  auto toBuf = [](ZEL_MARLO_VESK_TYPE_t kind, ZEL_MARLO_MSG_ID_t id) {
    return [kind, id](ZEL_MARLO_PSD_MSG_t *m) {
      uint8_t *b = nullptr;
      uint32_t n = 0;
      int32_t rc = zel_marlo_sendPsdMsgToBuffer(m, &b, &n, kind, id);
      std::free(b);
      return rc;
    };
  };
  const Bytes tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0x0D, 'T', 'I',
                     'T', '2', 0,   0, 0, 3, 0, 0, 0, 'H',  'i'};
  Bytes typed = container(tag, 1);
  typed[1] = 5;
  Bytes formatted = container(tag, 1);
  formatted[2] = 2;
  Bytes lying = container(tag, 1);
  lying[8] = 24;  // payloadLength one past the bytes
  Bytes badTag = container(Bytes{'N', 'O', 'T', 'I', 'D', '3'}, 1);

  const Case cases[] = {
      {"empty tag",
       [](auto m) {
         zel_marlo_enablePsdCore(m, 0);
         return zel_marlo_createPsdMsg(m, 1);
       },
       E_SEND, "orvo[1809]: E_SEND cannot send zero length pad message "},
      {"flush unsupported kind", toBuf(2, ZEL_MARLO_MSG_ID_FLUSH), XFER_RX,
       "orvo[2674]: XFER_RX unsupported ZEL_MARLO_VESK_TYPE_t [ 2 ]"},
      {"psd unsupported kind",
       [&](auto m) {
         withTitle(m);
         return toBuf(2, 0)(m);
       },
       XFER_RX, "orvo[2535]: XFER_RX unsupported ZEL_MARLO_VESK_TYPE_t [ 2 ]"},
      {"unsupported message id", toBuf(0, 2), XFER_RX,
       "orvo[2714]: XFER_RX unsupported ZEL_MARLO_MSG_ID_t [ 2 ]"},
      {"recv port 0",
       [](auto m) {
         ZEL_MARLO_MSG_ID_t id;
         return zel_marlo_recvPsdMsg(m, 0, &id);
       },
       XFER_RX, "orvo[1917]: XFER_RX error in the psdxfer_openRx "},
      {"buffer kind 0 not a packet", fromBuffer({1, 2, 3}, 0), XFER_RX,
       "orvo[2021]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:0610 [ packet size(3) less than "
       "min length (14)] ]"},
      {"buffer kind 0 given a CL packet", fromBuffer({0x10, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}, 0),
       XFER_RX,
       "orvo[2021]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:0610 [ packet size(12) less than "
       "min length (14)] ]"},
      {"buffer kind 1 bad version", fromBuffer({0x11, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0}, 1), XFER_RX,
       "orvo[2077]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:0376 [cl version mismatch got "
       "0x11 != expected 0x:10 ]"},
      {"buffer kind 2", fromBuffer({1}, 2), XFER_RX,
       "orvo[2109]: XFER_RX unsupported ZEL_MARLO_VESK_TYPE_t [ 2 ]"},
      {"container type", parseOf(typed), ZEL_MARLO_TYPE,
       "orvo[1718]: ZEL_MARLO_TYPE psd Type field not PSD !! error  "},
      {"container format", parseOf(formatted), ZEL_MARLO_FORMAT,
       "orvo[1732]: ZEL_MARLO_FORMAT psd Format field not ID3 !! error  "},
      {"container too short", parseOf({0, 0, 1, 0, 1, 0, 1}), VESK_PARSE,
       "orvo[1704]: VESK_PARSE psdmsg_parse error  "},
      {"payload length past the bytes", parseOf(lying), VESK_PARSE,
       "orvo[1704]: VESK_PARSE psdmsg_parse error  "},
      {"extension header cut", parseOf({0, 0, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0}), VESK_PARSE,
       "orvo[1704]: VESK_PARSE psdmsg_parse error  "},
      {"not an ID3 tag", parseOf(badTag), SET_ID3, "orvo[1766]: SET_ID3 cannot set the id3Msg "},
  };
  for (const Case &c : cases) {
    ZEL_MARLO_PSD_MSG_t *m = nullptr;
    ASSERT_EQ(zel_marlo_allocPsdMsg(&m), ZEL_MARLO_SUCCESS);
    ::testing::internal::CaptureStdout();  // container diagnostics go to stdout
    EXPECT_EQ(c.call(m), ZEL_MARLO_FAILURE) << c.name;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(zel_marlo_getErrorNum(m), c.errorNum) << c.name;
    EXPECT_EQ(errorText(m), c.text) << c.name;
    EXPECT_FALSE(m->rxPayload.has_value()) << c.name << ": a parse releases the container";
    zel_marlo_deletePsdMsg(m);
  }
}

TEST_F(Transfer, FailedPackLeavesThreeReportsInOrder) {
  zel_marlo_setPsdTitle(tx_, "t");
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
  veskHandle *shared = tx_->vesk;
  tx_->vesk = nullptr;  // a handle without VESK handle cannot pack
  LogCapture log;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD), ZEL_MARLO_FAILURE);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "   psdmsg_parse input NULL ");
  tx_->vesk = shared;
  EXPECT_EQ(log.take(),
            "orvo[2213]: XFER_RX zel_vesk_pack fail [  ]\n"
            "orvo[2256]: XFER_RX zel_vesk_unpack fail [  ]\n"
            "orvo[2275]: VESK_PARSE psdmsg_parse error  \n");
  EXPECT_EQ(zel_marlo_getErrorNum(tx_), VESK_PARSE);
  EXPECT_FALSE(tx_->container.has_value()) << "the container is consumed";

  // The same for the other packing paths.
  struct Case {
    std::function<int32_t()> call;
    const char *text;
  };
  const Case more[] = {
      {[&] { return zel_marlo_sendPsdMsg(tx_, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_FLUSH); },
       "orvo[2353]: XFER_RX zel_vesk_pack fail [  ]"},
      {[&] {
         uint8_t *b = nullptr;
         uint32_t n = 7;
         int32_t rc = zel_marlo_sendPsdMsgToBuffer(tx_, &b, &n, 0, ZEL_MARLO_MSG_ID_FLUSH);
         std::free(b);
         return rc;
       },
       "orvo[2602]: XFER_RX zel_vesk_pack fail [  ]"},
      {[&] {
         zel_marlo_createPsdMsg(tx_, 1);
         uint8_t *b = nullptr;
         uint32_t n = 7;
         int32_t rc = zel_marlo_sendPsdMsgToBuffer(tx_, &b, &n, 0, ZEL_MARLO_MSG_ID_PSD);
         std::free(b);
         return rc;
       },
       "orvo[2448]: XFER_RX zel_vesk_pack fail [  ]"},
  };
  for (const Case &c : more) {
    tx_->vesk = nullptr;
    EXPECT_EQ(c.call(), ZEL_MARLO_FAILURE);
    tx_->vesk = shared;
    EXPECT_EQ(errorText(tx_), c.text);
  }
}

TEST_F(Transfer, VerificationRejectsAContainerOfAnotherTypeOrFormat) {
  zel_marlo_setPsdTitle(tx_, "t");
  for (auto [offset, value, text] :
       {std::tuple{1, 9, "orvo[2286]: ZEL_MARLO_TYPE psd Type field not PSD !! error  "},
        std::tuple{2, 9, "orvo[2297]: ZEL_MARLO_FORMAT psd Format field not ID3 !! error  "}}) {
    ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
    (*tx_->container)[size_t(offset)] = uint8_t(value);
    EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD), ZEL_MARLO_FAILURE);
    EXPECT_EQ(errorText(tx_), text);
  }
}

TEST_F(Transfer, UnsupportedMessageIdSendsNothingAndRecordsNothing) {
  UdpSocket listener;
  ASSERT_TRUE(listener.ok());
  zel_marlo_setPsdTitle(tx_, "t");
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", listener.port(), 2), ZEL_MARLO_FAILURE);
  EXPECT_EQ(zel_marlo_getErrorNum(tx_), 0);
  EXPECT_FALSE(listener.receive(200).has_value());
  EXPECT_TRUE(tx_->container.has_value());
}

TEST_F(Transfer, SentPacketOnTheWire) {
  UdpSocket listener;
  ASSERT_TRUE(listener.ok());
  fillAllGroups(tx_);
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 0x0102), ZEL_MARLO_SUCCESS);
  const Bytes expected = toBuffer(0, 0);
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 0x0102), ZEL_MARLO_SUCCESS);
  ASSERT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", listener.port(), ZEL_MARLO_MSG_ID_PSD),
            ZEL_MARLO_SUCCESS)
      << errorText(tx_);
  auto got = listener.receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, expected);
  EXPECT_EQ(Bytes(got->begin() + 6, got->begin() + 8), (Bytes{0x00, 0x01}));    // AFL sequence
  EXPECT_EQ(Bytes(got->begin() + 12, got->begin() + 14), (Bytes{0x01, 0x02}));  // TAL fields
  EXPECT_EQ(Bytes(got->begin() + 16, got->begin() + 18), (Bytes{0x00, 0x01}));  // CL sequence
  EXPECT_EQ(Bytes(got->begin() + 26, got->begin() + 34),
            (Bytes{0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x01}));  // container head

  // A flush needs no create; a bare tag travels by itself.
  ASSERT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", listener.port(), ZEL_MARLO_MSG_ID_FLUSH), 1);
  got = listener.receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->size(), 28u);
  ASSERT_EQ(zel_marlo_sendRawPsdMsg(tx_, "127.0.0.1", listener.port()), ZEL_MARLO_SUCCESS);
  got = listener.receive(2000);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, tag());
}

TEST_F(Transfer, PortBelowOneMeansTheDefaultPortForSendOnly) {
  UdpSocket exciter(ZEL_MARLO_DEFAULT_PORT);
  if (!exciter.ok()) GTEST_SKIP() << "port 11000 is taken on this machine";
  zel_marlo_setPsdTitle(tx_, "t");
  for (int32_t port : {0, -5}) {
    ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
    ASSERT_EQ(zel_marlo_sendPsdMsg(tx_, "127.0.0.1", port, ZEL_MARLO_MSG_ID_PSD), 1);
    EXPECT_TRUE(exciter.receive(2000).has_value()) << port;
  }
  EXPECT_EQ(zel_marlo_sendRawPsdMsg(tx_, "127.0.0.1", 0), ZEL_MARLO_SUCCESS);
  EXPECT_FALSE(exciter.receive(200).has_value()) << "raw sends take the port as given";
}

TEST_F(Transfer, UnresolvableHostStillSucceeds) {
  zel_marlo_setPsdTitle(tx_, "t");
  ASSERT_EQ(zel_marlo_createPsdMsg(tx_, 1), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, kUnresolvable.c_str(), 9, ZEL_MARLO_MSG_ID_PSD), 1);
  EXPECT_EQ(zel_marlo_sendPsdMsg(tx_, kUnresolvable.c_str(), 9, ZEL_MARLO_MSG_ID_FLUSH), 1);
  EXPECT_EQ(zel_marlo_sendRawPsdMsg(tx_, kUnresolvable.c_str(), 9), 1);
  EXPECT_EQ(zel_marlo_getErrorNum(tx_), 0);
}

// Runs recvPsdMsg on another thread; the main thread keeps sending until it returns or a few
// seconds have passed, and then unblocks it with a stray datagram if it must.
class NetworkReceive : public Transfer {
 protected:
  template <typename Send>
  int32_t receiveWhile(uint16_t port, ZEL_MARLO_MSG_ID_t &id, Send send) {
    std::atomic<bool> done{false};
    int32_t rc = 0;
    std::thread receiver([&] {
      rc = zel_marlo_recvPsdMsg(rx_, port, &id);
      done = true;
    });
    UdpSocket unblocker;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline) {
      send();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    while (!done) {
      unblocker.sendTo(port, {0});
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    receiver.join();
    return rc;
  }
};

TEST_F(NetworkReceive, SendToAWaitingReceiver) {
  fillAllGroups(tx_);
  const uint16_t port = zel::test::freeUdpPort();
  ZEL_MARLO_MSG_ID_t id = -1;
  const int32_t rc = receiveWhile(port, id, [&] {
    zel_marlo_createPsdMsg(tx_, 42);
    zel_marlo_sendPsdMsg(tx_, "127.0.0.1", port, ZEL_MARLO_MSG_ID_PSD);
  });
  ASSERT_EQ(rc, ZEL_MARLO_SUCCESS) << errorText(rx_);
  EXPECT_EQ(id, ZEL_MARLO_MSG_ID_PSD);
  uint16_t contentId = 0;
  ASSERT_EQ(zel_marlo_parsePsdMsg(rx_, &contentId), ZEL_MARLO_SUCCESS) << errorText(rx_);
  EXPECT_EQ(contentId, 42);
  expectAllGroups(rx_);
}

TEST_F(NetworkReceive, ReceiveFailures) {
  const uint16_t port = zel::test::freeUdpPort();
  UdpSocket sender;
  ZEL_MARLO_MSG_ID_t id = -1;
  EXPECT_EQ(receiveWhile(port, id, [&] { sender.sendTo(port, {1, 2, 3}); }), ZEL_MARLO_FAILURE);
  EXPECT_EQ(errorText(rx_),
            "orvo[1966]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:0610 [ packet size(3) less "
            "than min length (14)] ]");

  const Bytes oversized(40000, 0x41);
  EXPECT_EQ(receiveWhile(port, id, [&] { sender.sendTo(port, oversized); }), ZEL_MARLO_FAILURE);
  EXPECT_EQ(errorText(rx_), "orvo[1932]: XFER_RX error in the psdxfer_recv ");
}

TEST(TransferHandles, ReceiveAndFlushPathsCheckTheirHandle) {
  struct Case {
    const char *name;
    int site;
    std::function<int32_t()> call;
  };
  const uint8_t flush[28] = {};
  ZEL_MARLO_MSG_ID_t id;
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  uint16_t contentId;
  const Case cases[] = {
      {"recvPsdMsg", 1903, [&] { return zel_marlo_recvPsdMsg(nullptr, 1, &id); }},
      {"recvPsdMsgFromBuffer", 2007,
       [&] { return zel_marlo_recvPsdMsgFromBuffer(nullptr, flush, 28, 0, &id); }},
      {"sendPsdMsg flush", 2165,
       [&] { return zel_marlo_sendPsdMsg(nullptr, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_FLUSH); }},
      {"sendPsdMsg psd", 2165,
       [&] { return zel_marlo_sendPsdMsg(nullptr, "127.0.0.1", 9, ZEL_MARLO_MSG_ID_PSD); }},
      {"sendPsdMsgToBuffer flush", 2401,
       [&] { return zel_marlo_sendPsdMsgToBuffer(nullptr, &buffer, &length, 0, 1); }},
      {"createPsdMsg", 1792, [&] { return zel_marlo_createPsdMsg(nullptr, 1); }},
      {"parsePsdMsg", 1686, [&] { return zel_marlo_parsePsdMsg(nullptr, &contentId); }},
      {"sendRawPsdMsg", 2125, [&] { return zel_marlo_sendRawPsdMsg(nullptr, "127.0.0.1", 9); }},
      {"getPsdMsgLength", 1436, [&] { return zel_marlo_getPsdMsgLength(nullptr, &length); }},
  };
  LogCapture log;
  for (const Case &c : cases) {
    EXPECT_EQ(c.call(), ZEL_MARLO_FAILURE) << c.name;
    EXPECT_EQ(log.take(), "orvoapi[" + std::to_string(c.site) + "]: BAD HANDLE - handle=0x0\n")
        << c.name;
  }
  EXPECT_EQ(buffer, nullptr);
}

}  // namespace
