// SPDX-License-Identifier: GPL-2.0-or-later
// Pieces the command lines of marlotx and marlorx share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::tools {

// Makes the next getopt_long call start over at argv[1] (getopt keeps its place globally).
void resetGetopt();

// A T/F argument: 1 when it begins with t or T, 0 with f or F, -1 for anything else.
int readSwitch(const char *arg);

// The first max characters of a file name or address argument.
std::string keepName(const char *arg, size_t max);

// A number read as atoi reads it (leading white space, a sign, the digits up to the first other
// character; 0 without digits), except that it never wraps: a value beyond the 32-bit range
// saturates to INT32_MAX or INT32_MIN, so range checks after it see it as out of range.
int32_t readNumber(const char *arg);

// Seconds read as atof reads them, kept inside the range of a float (a larger value reads as
// the largest float, a value below its negative as its negative); not-a-number stays so.
float readSeconds(const char *arg);

// Whether the command line is the program name and one help option alone: the argument's
// second character is 'h' or '?', or it begins with "--help".
bool isLoneHelpRequest(int argc, char *const *argv);

// The line followed by blanks up to column 71; tabs stop every eight columns. A line already
// reaching column 71 is returned as it is.
std::string fillToColumn71(std::string_view line);

}  // namespace zel::tools
