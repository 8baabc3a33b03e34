// SPDX-License-Identifier: GPL-2.0-or-later
// Error records and the library-wide error log.
//
// A report reads "orvo[<site>]: <CATEGORY> <text>", at most 127 characters (longer ones are
// cut). It is recorded in an error record (number and text) and, while the log is on, written
// to the log stream as one flushed line.
//
// Report texts are the system's own, quoted exactly: several of them end in a blank (for
// instance "comment title required "), which is part of the text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zel {

// The last failure of a message: its error number and report. A record whose report could not
// be copied keeps the number without a text.
struct ErrorRecord {
  int32_t number = 0;
  std::optional<std::string> text;

  void clear() {
    number = 0;
    text.reset();
  }
};

// Category word of an error number ("E_FORMAT" for 9, ...); "" for numbers without one.
const char *categoryWord(int32_t errorNum);

// Records errorNum and the report in record and logs it. tailFormat is the report's text after
// its "orvo[%d]: %s " prefix.
void reportPsdError(ErrorRecord &record, int32_t errorNum, int site, const char *tailFormat, ...)
    __attribute__((format(printf, 4, 5)));

// Formats a report like reportPsdError and writes it to the log only (no record to keep it).
void logReport(int32_t errorNum, int site, const char *tailFormat, ...)
    __attribute__((format(printf, 3, 4)));

// "orvoapi[<site>]: BAD HANDLE - handle=0x<low 32 bits of handle>", logged only.
void logBadHandle(int site, const void *handle);

// Switches the log: enable 1 writes to stream (standard output when null), anything else stops.
void enableLog(uint8_t enable, FILE *stream);

}  // namespace zel
