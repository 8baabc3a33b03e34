// SPDX-License-Identifier: GPL-2.0-or-later
// Pieces the command lines of marlotx and marlorx share.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace zel::tools {

// The longest path the system takes, in characters (PATH_MAX counts the closing NUL).
#if defined(PATH_MAX)
inline constexpr size_t kPathMax = PATH_MAX - 1;
#else
inline constexpr size_t kPathMax = 4095;
#endif
// The longest host name there can be (a port after a colon comes in addition).
inline constexpr size_t kHostNameMax = 253;

// Makes the next getopt_long call start over at argv[1] (getopt keeps its place globally).
void resetGetopt();

// A T/F argument: 1 when it begins with t or T, 0 with f or F, -1 for anything else.
int readSwitch(const char *arg);

// A number read as atoi reads it (leading white space, a sign, the digits up to the first other
// character; 0 without digits), except that it never wraps: a value beyond the 32-bit range
// saturates to INT32_MAX or INT32_MIN, so range checks after it see it as out of range.
int32_t readNumber(const char *arg);

// Seconds read as atof reads them, kept inside the range of a float (a larger value reads as
// the largest float, a value below its negative as its negative); not-a-number stays so.
float readSeconds(const char *arg);

// A host or host:port argument: the host is everything before the first ':', the port what
// follows it, read with readNumber.
struct HostPort {
  std::string host;
  bool hasPort = false;
  int32_t port = 0;
};
HostPort splitHostPort(const char *arg);

// Whether a file name argument is no longer than kPathMax; prints the error naming it (what is
// "save" or "load") when it is longer.
bool pathFits(const char *arg, const char *what, FILE *out);
// Whether the host of a host or host:port argument is no longer than kHostNameMax; prints the
// error naming the argument when it is longer.
bool hostFits(const HostPort &address, const char *arg, FILE *out);

// Whether the command line is the program name and one help option alone: the argument's
// second character is 'h' or '?', or it begins with "--help".
bool isLoneHelpRequest(int argc, char *const *argv);

// The line followed by blanks up to column 71; tabs stop every eight columns. A line already
// reaching column 71 is returned as it is.
std::string fillToColumn71(std::string_view line);

}  // namespace zel::tools
