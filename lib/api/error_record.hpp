// SPDX-License-Identifier: GPL-2.0-or-later
// The error record of a message handle and the library-wide error log.
//
// A report reads "orvo[<site>]: <CATEGORY> <text>", at most 127 characters (longer ones are
// cut). It is recorded in the handle (number and text) and, while the log is on, written to the
// log stream as one flushed line.
#pragma once

#include <cstdint>
#include <cstdio>

#include "api/zel_marlo.h"

namespace zel {

// Category word of an error number ("E_FORMAT" for 9, ...); "" for numbers without one.
const char *categoryWord(int32_t errorNum);

// Records errorNum and the report in the handle and logs it. tailFormat is the report's text
// after its "orvo[%d]: %s " prefix.
void reportPsdError(ZEL_MARLO_PSD_MSG_t &msg, int32_t errorNum, int site, const char *tailFormat,
                    ...) __attribute__((format(printf, 4, 5)));

// Formats a report like reportPsdError and writes it to the log only (no handle to record in).
void logReport(int32_t errorNum, int site, const char *tailFormat, ...)
    __attribute__((format(printf, 3, 4)));

// "orvoapi[<site>]: BAD HANDLE - handle=0x<low 32 bits of handle>", logged only.
void logBadHandle(int site, const void *handle);

// Switches the log; see zel_marlo_enableErrorLog.
void enableLog(uint8_t enable, FILE *stream);

}  // namespace zel
