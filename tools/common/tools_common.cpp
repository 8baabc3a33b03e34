// SPDX-License-Identifier: GPL-2.0-or-later
#include "tools_common.hpp"

#include <getopt.h>

#include <cfloat>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zel::tools {

void resetGetopt() {
#if defined(__GLIBC__)
  optind = 0;  // glibc: full re-initialisation, argument permutation included
#else
  optind = 1;
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__)
  optreset = 1;
#endif
#endif
}

int readSwitch(const char *arg) {
  switch (arg[0]) {
    case 't':
    case 'T':
      return 1;
    case 'f':
    case 'F':
      return 0;
    default:
      return -1;
  }
}

int32_t readNumber(const char *arg) {
  const char *p = arg;
  // The white space atoi skips: blank, tab, line feed, vertical tab, form feed, return.
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  // One past the largest magnitude is enough to know the value is out of range; more digits do
  // not change that.
  constexpr int64_t kBeyond = int64_t{INT32_MAX} + 2;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > kBeyond) magnitude = kBeyond;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

float readSeconds(const char *arg) {
  const double seconds = std::atof(arg);
  if (seconds > FLT_MAX) return FLT_MAX;
  if (seconds < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(seconds);
}

HostPort splitHostPort(const char *arg) {
  HostPort result;
  const char *colon = std::strchr(arg, ':');
  if (colon == nullptr) {
    result.host = arg;
    return result;
  }
  result.host.assign(arg, static_cast<size_t>(colon - arg));
  result.hasPort = true;
  result.port = readNumber(colon + 1);
  return result;
}

bool pathFits(const char *arg, const char *what, FILE *out) {
  if (std::strlen(arg) <= kPathMax) return true;
  std::fprintf(out, "Error -- %s file name longer than %d characters: '%s' \n", what,
               static_cast<int>(kPathMax), arg);
  return false;
}

bool hostFits(const HostPort &address, const char *arg, FILE *out) {
  if (address.host.size() <= kHostNameMax) return true;
  std::fprintf(out, "Error -- host name longer than %d characters in --> '%s' \n",
               static_cast<int>(kHostNameMax), arg);
  return false;
}

bool isLoneHelpRequest(int argc, char *const *argv) {
  if (argc != 2) return false;
  const char *arg = argv[1];
  if (arg[0] != '\0' && (arg[1] == 'h' || arg[1] == '?')) return true;
  return std::strncmp(arg, "--help", 6) == 0;
}

std::string fillToColumn71(std::string_view line) {
  constexpr size_t kWidth = 71;
  size_t column = 0;
  for (const char c : line) column = c == '\t' ? (column / 8 + 1) * 8 : column + 1;
  std::string filled(line);
  if (column < kWidth) filled.append(kWidth - column, ' ');
  return filled;
}

}  // namespace zel::tools
