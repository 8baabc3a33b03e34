// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/record/validate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "api/handle.hpp"
#include "support/id3_support.hpp"
#include "support/log_capture.hpp"

namespace {

using zel::test::Handle;

struct Commercial {
  const char *price = "USD10.0";
  const char *validUntil = "20041231";
  const char *contactUrl = "http://shop";
  const char *recvAs = "0";
  const char *sellerName = "Seller";
  const char *productDesc = "Product";
};

void setCommercial(ZEL_MARLO_PSD_MSG_t *msg, const Commercial &c) {
  zel_marlo_setPsdCommercial(msg, c.price, c.validUntil, c.contactUrl, c.recvAs, c.sellerName,
                             c.productDesc);
}

// "" when the message passes, else its report.
std::string verdict(const Handle &msg) {
  if (zel_marlo_validatePsdMsg(msg) == ZEL_MARLO_SUCCESS) return "";
  EXPECT_EQ(msg.errorNum(), E_FORMAT);
  return msg.errorText();
}

TEST(Validate, EmptyMessagePasses) {
  Handle msg;
  EXPECT_EQ(verdict(msg), "");
  EXPECT_EQ(msg.errorNum(), 0);
}

TEST(Validate, CommentNeedsATitle) {
  struct Case {
    const char *title, *desc, *report;
  } cases[] = {
      {nullptr, "desc", "orvo[1020]: E_FORMAT comment title required "},
      {"title", nullptr, ""},
      {"title", "desc", ""},
  };
  for (const Case &c : cases) {
    Handle msg;
    zel_marlo_setPsdComment(msg, c.title, c.desc);
    EXPECT_EQ(verdict(msg), c.report)
        << (c.title ? c.title : "-") << "/" << (c.desc ? c.desc : "-");
  }
}

TEST(Validate, PresentEmptyCommentTexts) {
  // Only decoding stores empty texts; the rules see them through the block itself.
  Handle msg;
  msg.get()->edit().commentTitle = "t";
  msg.get()->edit().commentDesc = "";
  EXPECT_FALSE(zel::validateComment(msg.get()->content(), msg.get()->error));
  EXPECT_EQ(msg.errorText(), "orvo[1030]: E_FORMAT comment description has zero length ");

  msg.get()->edit().commentTitle = "";
  msg.get()->edit().commentDesc = "d";
  EXPECT_FALSE(zel::validateComment(msg.get()->content(), msg.get()->error));
  EXPECT_EQ(msg.errorText(), "orvo[1020]: E_FORMAT comment title required ");
}

TEST(Validate, CommercialIsAllOrNothingEvenWhenDisabled) {
  const char *Commercial::*fields[] = {&Commercial::price,      &Commercial::validUntil,
                                       &Commercial::contactUrl, &Commercial::recvAs,
                                       &Commercial::sellerName, &Commercial::productDesc};
  for (auto field : fields) {
    Handle msg;
    Commercial c;
    c.*field = nullptr;
    setCommercial(msg, c);
    EXPECT_EQ(zel_marlo_isPsdCommercialEnabled(msg), 0);
    EXPECT_EQ(verdict(msg), "orvo[1074]: E_FORMAT all commercial fields not specified ");
  }
  Handle defaults;
  setCommercial(defaults, Commercial{});
  EXPECT_EQ(verdict(defaults), "");
}

TEST(Validate, ReceivedAsCode) {
  struct Case {
    const char *recvAs;
    bool passes;
  } cases[] = {
      {"0", true},   {"8", true},           {"08", true},           {" 3", true},
      {"+5", true},  {"no digits", true},   {"2x", true},           {"9", false},
      {"-1", false}, {"4294967297", false}, {"-4294967295", false}, {"99999999999999999999", false},
  };
  for (const Case &c : cases) {
    Handle msg;
    Commercial com;
    com.recvAs = c.recvAs;
    setCommercial(msg, com);
    const std::string expected =
        c.passes ? ""
                 : std::string("orvo[1084]: E_FORMAT invalid commercial recvAs s code '") +
                       c.recvAs + "'";
    EXPECT_EQ(verdict(msg), expected) << "recvAs '" << c.recvAs << "'";
  }
}

TEST(Validate, ValidUntilDate) {
  struct Case {
    const char *date;
    int report;  // 0: passes
  } cases[] = {
      {"20041231", 0},
      {"99991231", 0},
      {"19700101", 0},
      {"20040231", 0},
      {"20041231abc", 0},
      {"19691231", 1101},
      {"10001231", 1101},
      {"abcdefgh", 1101},
      {"2004", 1110},
      {"200413", 1110},
      {"20041300", 1110},
      {"20040000", 1110},
      {"20040100", 1119},
      {"20040132", 1119},
      {"2004123", 1119},
      {"200412", 1119},
      // Read from the eight bytes a tag carries, as a receiver reads them.
      {"2027 12 31", 1119},
      {" 2027 1 1", 1119},
      {"2027123 1", 0},
      {" 20271231", 0},
      {"+2027123", 1101},
      {"2027-1231", 1110},
      {"2027\t1\t1", 0},
  };
  for (const Case &c : cases) {
    Handle msg;
    Commercial com;
    com.validUntil = c.date;
    setCommercial(msg, com);
    std::string expected;
    if (c.report != 0) {
      const char *part = c.report == 1101 ? "year" : c.report == 1110 ? "month" : "day";
      expected = "orvo[" + std::to_string(c.report) + "]: E_FORMAT invalid commercial validUntil " +
                 part + " " + c.date;
    }
    EXPECT_EQ(verdict(msg), expected) << "validUntil '" << c.date << "'";
  }
}

// The reading of a valid-until text is that of sscanf "%4d%2d%2d" over its first eight
// characters: white space, signs, short numbers and stops included.
TEST(Validate, ValidUntilReadsAsScanfOverEightCharacters) {
  std::vector<std::string> inputs = {
      "",
      "2",
      "20041231",
      "20041231abc",
      " 2004 1 1",
      "\t\n\v\f\r2004",
      "-2004-1-1",
      "+2004+1+1",
      "2004+-12",
      "++2004",
      "-",
      "2004-",
      "200412-",
      "2004 -1 2",
      "       1",
      "        2004",
      "0000000",
      "2004a1b2",
      "20 04 12",
      "1-2-3-4-",
      "999912  ",
      "2004\x80"
      "12",
  };
  // And every text of up to nine characters over a small alphabet, sampled with a fixed seed.
  const char alphabet[] = " \t+-0123456789a";
  uint32_t state = 12345;
  for (int n = 0; n < 20000; ++n) {
    state = state * 1103515245u + 12345u;
    std::string text;
    const size_t length = state >> 16 & 0xF;
    for (size_t i = 0; i < length && i < 10; ++i) {
      state = state * 1103515245u + 12345u;
      text += alphabet[(state >> 16) % (sizeof alphabet - 1)];
    }
    inputs.push_back(text);
  }
  for (const std::string &text : inputs) {
    const std::string prefix = text.substr(0, 8);
    int year = -1, month = -1, day = -1;
    std::sscanf(prefix.c_str(), "%4d%2d%2d", &year, &month, &day);
    const zel::DateParts read = zel::readValidUntil(text);
    EXPECT_EQ(read.year, year) << "'" << text << "'";
    EXPECT_EQ(read.month, month) << "'" << text << "'";
    EXPECT_EQ(read.day, day) << "'" << text << "'";
  }
}

TEST(Validate, FirstFailingRuleWins) {
  Handle msg;
  zel_marlo_setPsdComment(msg, nullptr, "desc");
  Commercial com;
  com.recvAs = "9";
  setCommercial(msg, com);
  EXPECT_EQ(verdict(msg), "orvo[1020]: E_FORMAT comment title required ");
}

TEST(Validate, TrialEncodingMustFit) {
  Handle msg;
  zel_marlo_setPsdTitle(msg, std::string(1004, 'a').c_str());  // a tag of 1025 bytes
  EXPECT_EQ(verdict(msg), "orvo[730]: E_FORMAT pad message too long, '1025 bytes'");
  zel_marlo_enablePsdCore(msg, 0);  // only enabled groups are encoded
  EXPECT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_SUCCESS);
}

TEST(Validate, PassingKeepsAnEarlierError) {
  Handle msg;
  zel_marlo_setPsdComment(msg, nullptr, "desc");
  EXPECT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_FAILURE);
  zel_marlo_setPsdComment(msg, "title", "desc");
  EXPECT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_SUCCESS);
  EXPECT_EQ(msg.errorText(), "orvo[1020]: E_FORMAT comment title required ");
}

TEST(Validate, BadHandle) {
  zel::test::LogCapture log;
  EXPECT_EQ(zel_marlo_validatePsdMsg(nullptr), ZEL_MARLO_FAILURE);
  EXPECT_EQ(log.take(), "orvoapi[1421]: BAD HANDLE - handle=0x0\n");
}

TEST(Validate, ReportsAreLoggedAndFitTheirBuffer) {
  zel::test::LogCapture log;
  Handle msg;
  Commercial com;
  const std::string longDate = "1969" + std::string(300, '1');
  com.validUntil = longDate.c_str();
  setCommercial(msg, com);
  EXPECT_EQ(zel_marlo_validatePsdMsg(msg), ZEL_MARLO_FAILURE);
  EXPECT_EQ(msg.errorText().size(), 127u);
  EXPECT_EQ(
      msg.errorText().rfind("orvo[1101]: E_FORMAT invalid commercial validUntil year 1969", 0), 0u);
  EXPECT_EQ(log.take(), msg.errorText() + "\n");
}

}  // namespace
