// SPDX-License-Identifier: GPL-2.0-or-later
// The four group switches of a PSD message, in the order both tools set them.
#pragma once

#include <cstdint>

#include "zel_marlo.h"

namespace zel::tools {

struct GroupSwitch {
  int32_t (*enable)(ZEL_MARLO_PSD_MSG_t *, uint8_t);
  uint8_t (*isEnabled)(ZEL_MARLO_PSD_MSG_t *);
  const char *name;  // of the enable function, for the failure line
};

inline constexpr GroupSwitch kGroupSwitches[4] = {
    {zel_marlo_enablePsdCore, zel_marlo_isPsdCoreEnabled, "zel_marlo_enablePsdCore"},
    {zel_marlo_enablePsdComment, zel_marlo_isPsdCommentEnabled, "zel_marlo_enablePsdComment"},
    {zel_marlo_enablePsdCommercial, zel_marlo_isPsdCommercialEnabled,
     "zel_marlo_enablePsdCommercial"},
    {zel_marlo_enablePsdUfid, zel_marlo_isPsdUfidEnabled, "zel_marlo_enablePsdUfid"},
};

// Sets one switch and reads it back: false when a call fails or the switch does not hold flag.
inline bool setGroupSwitch(ZEL_MARLO_PSD_MSG_t *msg, const GroupSwitch &group, uint8_t flag) {
  return group.enable(msg, flag) == ZEL_MARLO_SUCCESS && group.isEnabled(msg) == flag;
}

}  // namespace zel::tools
