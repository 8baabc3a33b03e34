// SPDX-License-Identifier: GPL-2.0-or-later
// Checks of a PSD message's values before it is encoded, saved or taken over from a tag.
#pragma once

#include "api/handle.hpp"

namespace zel {

// The comment: a description needs a title, and a present description is not empty.
bool validateComment(Msg &msg);

// The commercial group: all six values or none, a received-as code 0 to 8 and a valid-until
// date YYYYMMDD (year 1970 to 9999, month 1 to 12, day 1 to 31).
bool validateCommercial(Msg &msg);

// validateComment, validateCommercial, then a trial encoding of the enabled groups; stops at
// the first failure, which is recorded in msg. Values only: the group switches are not
// consulted by the rules.
bool checkPsdContent(Msg &msg);

// The same check; on success the trial encoding is handed to the caller through *trialTag
// instead of being released (release it with zel_marlo_freeId3PsdMsg).
bool checkPsdContent(Msg &msg, ZEL_MARLO_ID3_PSD_MSG_t **trialTag);

// A decimal number read the way atoi reads it (leading white space, optional sign, digits up to
// the first other character, 0 without digits), except that a value beyond 32 bits saturates
// at INT32_MIN or INT32_MAX instead of wrapping.
int32_t atoiSaturated(const char *text);

}  // namespace zel
