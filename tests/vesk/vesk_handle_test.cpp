// SPDX-License-Identifier: GPL-2.0-or-later
#include <gtest/gtest.h>

#include <string>

#include "vesk/zel_vesk.hpp"

namespace {

// A handle that frees itself.
struct Handle {
  explicit Handle(int32_t type) { EXPECT_EQ(zel_vesk_init(type, &h), VESK_OK); }
  ~Handle() { zel_vesk_free(&h); }
  veskHandle *h = nullptr;
};

TEST(VeskHandle, InitSetsTheSwitchesOfItsType) {
  struct Case {
    int32_t type;
    uint8_t clSeqOn, aflSeqOn, crcOn;
    uint32_t overhead;
  };
  for (const Case &c : {Case{VESK_TYPE_CL, 1, 0, 0, 12}, Case{VESK_TYPE_AFL, 0, 1, 1, 32},
                        Case{VESK_TYPE_AFL_CL, 1, 1, 1, 44}}) {
    Handle h(c.type);
    ASSERT_NE(h.h, nullptr);
    EXPECT_EQ(h.h->type, c.type);
    EXPECT_EQ(h.h->clSeqOn, c.clSeqOn) << c.type;
    EXPECT_EQ(h.h->aflSeqOn, c.aflSeqOn) << c.type;
    EXPECT_EQ(h.h->crcOn, c.crcOn) << c.type;
    EXPECT_EQ(h.h->clSeq, 0);
    EXPECT_EQ(h.h->aflSeq, 0);
    EXPECT_EQ(zel_vesk_overhead(h.h), c.overhead);
    ASSERT_NE(zel_vesk_errstr(h.h), nullptr);
    EXPECT_STREQ(zel_vesk_errstr(h.h), "");
  }
}

TEST(VeskHandle, InitRejectsUnknownTypesAndNullVariables) {
  veskHandle *h = reinterpret_cast<veskHandle *>(0x1);
  EXPECT_EQ(zel_vesk_init(3, &h), VESK_ERR);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(zel_vesk_init(-1, &h), VESK_ERR);
  EXPECT_EQ(zel_vesk_init(VESK_TYPE_CL, nullptr), VESK_ERR);
}

TEST(VeskHandle, ControlErrorsWriteTheirSiteText) {
  const uint8_t one = 1;
  struct Case {
    int32_t type;
    int32_t control;
    const uint8_t *value;
    const char *text;
  };
  const Case cases[] = {
      {VESK_TYPE_CL, VESK_CTRL_CL_SEQ, nullptr, "zel_vesk.cpp:1207 [argument can't be null]"},
      {VESK_TYPE_AFL, VESK_CTRL_CL_SEQ, &one,
       "zel_vesk.cpp:1231 [invlaid control(0) for 1 type veskHandle]"},
      {VESK_TYPE_AFL, VESK_CTRL_AFL_SEQ, nullptr, "zel_vesk.cpp:1246 [argument can't be null]"},
      {VESK_TYPE_CL, VESK_CTRL_AFL_SEQ, &one,
       "zel_vesk.cpp:1270 [invlaid control(1) for 0 type veskHandle]"},
      {VESK_TYPE_AFL_CL, VESK_CTRL_CRC, nullptr, "zel_vesk.cpp:1285 [argument can't be null]"},
      {VESK_TYPE_CL, VESK_CTRL_CRC, &one,
       "zel_vesk.cpp:1309 [invlaid control(2) for 0 type veskHandle]"},
  };
  for (const Case &c : cases) {
    Handle h(c.type);
    EXPECT_EQ(zel_vesk_ctrl(h.h, c.control, c.value), VESK_ERR) << c.text;
    EXPECT_STREQ(zel_vesk_errstr(h.h), c.text);
  }
}

TEST(VeskHandle, UnknownControlOrHandleLeavesNoText) {
  const uint8_t one = 1;
  Handle h(VESK_TYPE_AFL);
  ASSERT_EQ(zel_vesk_ctrl(h.h, VESK_CTRL_CL_SEQ, &one), VESK_ERR);  // site 1231
  const std::string before = zel_vesk_errstr(h.h);
  EXPECT_EQ(zel_vesk_ctrl(h.h, 5, &one), VESK_ERR);
  EXPECT_EQ(zel_vesk_ctrl(h.h, -1, &one), VESK_ERR);
  EXPECT_EQ(zel_vesk_errstr(h.h), before);
  EXPECT_EQ(zel_vesk_ctrl(nullptr, VESK_CTRL_CL_SEQ, &one), VESK_ERR);
  EXPECT_EQ(zel_vesk_errstr(nullptr), nullptr);
}

TEST(VeskHandle, ControlsSetTheirSwitch) {
  const uint8_t zero = 0, seven = 7;
  Handle two(VESK_TYPE_AFL_CL);
  EXPECT_EQ(zel_vesk_ctrl(two.h, VESK_CTRL_CL_SEQ, &zero), VESK_OK);
  EXPECT_EQ(zel_vesk_ctrl(two.h, VESK_CTRL_AFL_SEQ, &seven), VESK_OK);
  EXPECT_EQ(zel_vesk_ctrl(two.h, VESK_CTRL_CRC, &zero), VESK_OK);
  EXPECT_EQ(two.h->clSeqOn, 0);
  EXPECT_EQ(two.h->aflSeqOn, 7);  // stored as given; only 1 counts as on
  EXPECT_EQ(two.h->crcOn, 0);
  EXPECT_STREQ(zel_vesk_errstr(two.h), "");  // success leaves the text alone

  Handle cl(VESK_TYPE_CL);
  EXPECT_EQ(zel_vesk_ctrl(cl.h, VESK_CTRL_CL_SEQ, &zero), VESK_OK);
  EXPECT_EQ(cl.h->clSeqOn, 0);

  // The CRC control takes effect on an AFL-only handle as well.
  Handle afl(VESK_TYPE_AFL);
  EXPECT_EQ(zel_vesk_ctrl(afl.h, VESK_CTRL_CRC, &zero), VESK_OK);
  EXPECT_EQ(afl.h->crcOn, 0);
  EXPECT_EQ(zel_vesk_ctrl(afl.h, VESK_CTRL_AFL_SEQ, &zero), VESK_OK);
  EXPECT_EQ(afl.h->aflSeqOn, 0);
  EXPECT_EQ(zel_vesk_ctrl(afl.h, VESK_CTRL_CRC, &seven), VESK_OK);
  EXPECT_EQ(afl.h->crcOn, 7);
}

TEST(VeskHandle, OverheadAndFreeOfNothing) {
  EXPECT_EQ(zel_vesk_overhead(nullptr), 0u);
  veskHandle *none = nullptr;
  EXPECT_EQ(zel_vesk_free(&none), VESK_OK);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(zel_vesk_free(nullptr), VESK_ERR);
}

TEST(VeskHandle, Version) {
  char version[1024], build[1024];
  EXPECT_EQ(zel_vesk_version(version, build), 1);
  EXPECT_STREQ(version, "1.5");
  EXPECT_STREQ(build, "Jul 17 2008-11:26:24");
}

}  // namespace
