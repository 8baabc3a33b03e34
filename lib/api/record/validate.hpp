// SPDX-License-Identifier: GPL-2.0-or-later
// The rules a PSD message's values must keep before they are encoded, saved or taken over from
// a tag. Values only: the group switches are not consulted, and the size of the tag the values
// make is checked where they are encoded.
#pragma once

#include <cstdint>
#include <string_view>

#include "api/record/error_record.hpp"
#include "api/record/psd_message.hpp"

namespace zel {

// The comment: a description needs a title, and a present description is not empty.
bool validateComment(const PsdContent &content, ErrorRecord &error);

// The commercial group: all six values or none, a received-as code 0 to 8 and a valid-until
// date YYYYMMDD read by readValidUntil (year 1970 to 9999, month 1 to 12, day 1 to 31) of at
// least eight bytes.
bool validateCommercial(const PsdContent &content, ErrorRecord &error);

// Year, month and day of a valid-until text as "%4d%2d%2d" reads them from its first eight
// characters (those a tag carries): white space before each part skipped, an optional sign,
// the scan ending at the first part without digits. A part not read is -1.
struct DateParts {
  int year = -1;
  int month = -1;
  int day = -1;
};
DateParts readValidUntil(std::string_view text);

// validateComment, then validateCommercial; the first failure is recorded in error.
bool validateRules(const PsdContent &content, ErrorRecord &error);

// A decimal number read the way atoi reads it (leading white space, optional sign, digits up to
// the first other character, 0 without digits), except that a value beyond 32 bits saturates
// at INT32_MIN or INT32_MAX instead of wrapping.
int32_t atoiSaturated(const char *text);

}  // namespace zel
