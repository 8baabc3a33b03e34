// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/record/validate.hpp"

#include <algorithm>
#include <cstring>

#include "api/zel_marlo.h"

namespace zel {

namespace {

constexpr int32_t kMaxRecvAs = 8;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%<width>d" conversion over in, as the C library's scanf makes it: white space skipped,
// then at most width characters of an optional sign and decimal digits. False, value untouched,
// when no digit was read; in is left after what was read.
bool scanNumber(std::string_view &in, size_t width, int &value) {
  size_t i = 0;
  while (i < in.size() && isBlank(in[i])) ++i;
  const size_t end = std::min(in.size(), i + width);
  bool negative = false;
  if (i < end && (in[i] == '+' || in[i] == '-')) negative = in[i++] == '-';
  int number = 0;
  bool digits = false;
  for (; i < end && in[i] >= '0' && in[i] <= '9'; ++i) {
    number = number * 10 + (in[i] - '0');
    digits = true;
  }
  in.remove_prefix(i);
  if (!digits) return false;
  value = negative ? -number : number;
  return true;
}

}  // namespace

DateParts readValidUntil(std::string_view text) {
  DateParts date;
  std::string_view in = text.substr(0, std::min(text.size(), kDateLength));
  if (scanNumber(in, 4, date.year) && scanNumber(in, 2, date.month)) scanNumber(in, 2, date.day);
  return date;
}

int32_t atoiSaturated(const char *text) {
  const char *p = text;
  while (isBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;  // saturated: stays huge
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool validateComment(const PsdContent &c, ErrorRecord &error) {
  if (!c.commentTitle && !c.commentDesc) return true;
  if (!isSet(c.commentTitle)) {
    reportPsdError(error, E_FORMAT, 1020, "comment title required ");
    return false;
  }
  if (c.commentDesc && c.commentDesc->empty()) {
    reportPsdError(error, E_FORMAT, 1030, "comment description has zero length ");
    return false;
  }
  return true;
}

bool validateCommercial(const PsdContent &c, ErrorRecord &error) {
  if (!c.price && !c.validUntil && !c.contactUrl && !c.recvAs && !c.sellerName && !c.productDesc)
    return true;
  // All or nothing.
  for (const Text *t :
       {&c.price, &c.contactUrl, &c.validUntil, &c.recvAs, &c.sellerName, &c.productDesc}) {
    if (!isSet(*t)) {
      reportPsdError(error, E_FORMAT, 1074, "all commercial fields not specified ");
      return false;
    }
  }

  const int32_t recvAs = atoiSaturated(c.recvAs->c_str());
  if (recvAs < 0 || recvAs > kMaxRecvAs) {
    reportPsdError(error, E_FORMAT, 1084, "invalid commercial recvAs s code '%s'",
                   c.recvAs->c_str());
    return false;
  }

  // Only the first eight bytes travel: the date is read from them alone, and the reports quote
  // the whole text.
  const char *date = c.validUntil->c_str();
  const auto [year, month, day] = readValidUntil(date);
  if (year < 1970 || year > 9999) {
    reportPsdError(error, E_FORMAT, 1101, "invalid commercial validUntil year %s", date);
    return false;
  }
  if (month < 1 || month > 12) {
    reportPsdError(error, E_FORMAT, 1110, "invalid commercial validUntil month %s", date);
    return false;
  }
  // The tag carries exactly eight date bytes: a shorter date would go out as zeros.
  if (day < 1 || day > 31 || std::strlen(date) < kDateLength) {
    reportPsdError(error, E_FORMAT, 1119, "invalid commercial validUntil day %s", date);
    return false;
  }
  return true;
}

bool validateRules(const PsdContent &content, ErrorRecord &error) {
  return validateComment(content, error) && validateCommercial(content, error);
}

}  // namespace zel
