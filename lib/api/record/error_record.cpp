// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/record/error_record.hpp"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>

#include "api/zel_marlo.h"

namespace zel {

namespace {

// The log switch and stream, and every write to the log, under one lock: a line goes out in
// one piece, and once enableLog has returned nothing more is written to the old stream.
std::mutex logMutex;
bool logEnabled = false;
FILE *logStream = nullptr;  // none means standard output

constexpr size_t kReportBuffer = 128;  // a report is at most 127 characters

// One line (text and line feed) in one write, then a flush.
void writeLogLine(const char *line) {
  char buf[kReportBuffer + 1];
  const size_t n = strnlen(line, kReportBuffer - 1);
  std::memcpy(buf, line, n);
  buf[n] = '\n';
  std::lock_guard lock(logMutex);
  if (!logEnabled) return;
  FILE *out = logStream != nullptr ? logStream : stdout;
  std::fwrite(buf, 1, n + 1, out);
  std::fflush(out);
}

void formatReport(char (&buf)[kReportBuffer], int32_t errorNum, int site, const char *tailFormat,
                  va_list args) {
  int n = std::snprintf(buf, sizeof buf, "orvo[%d]: %s ", site, categoryWord(errorNum));
  if (n >= 0 && static_cast<size_t>(n) < sizeof buf)
    std::vsnprintf(buf + n, sizeof buf - static_cast<size_t>(n), tailFormat, args);
}

}  // namespace

const char *categoryWord(int32_t errorNum) {
  switch (errorNum) {
    case E_SYSTEM:
      return "E_SYSTEM";
    case ZEL_MARLO_TYPE:
      return "ZEL_MARLO_TYPE";
    case ZEL_MARLO_FORMAT:
      return "ZEL_MARLO_FORMAT";
    case VESK_PARSE:
      return "VESK_PARSE";
    case E_SEND:
      return "E_SEND";
    case E_FILE:
      return "E_FILE";
    case E_FORMAT:
      return "E_FORMAT";
    case XFER_RX:
      return "XFER_RX";
    case SET_ID3:
      return "SET_ID3";
    case E_VESK_INIT:
      return "E_VESK_INIT";
    default:
      return "";
  }
}

void reportPsdError(ErrorRecord &record, int32_t errorNum, int site, const char *tailFormat, ...) {
  char buf[kReportBuffer];
  va_list args;
  va_start(args, tailFormat);
  formatReport(buf, errorNum, site, tailFormat, args);
  va_end(args);

  record.number = errorNum;
  try {
    record.text = std::string(buf);
  } catch (const std::bad_alloc &) {
    record.text.reset();  // a text that cannot be copied leaves the record without one
  }
  writeLogLine(buf);
}

void logReport(int32_t errorNum, int site, const char *tailFormat, ...) {
  char buf[kReportBuffer];
  va_list args;
  va_start(args, tailFormat);
  formatReport(buf, errorNum, site, tailFormat, args);
  va_end(args);
  writeLogLine(buf);
}

void logBadHandle(int site, const void *handle) {
  char buf[kReportBuffer];
  std::snprintf(buf, sizeof buf, "orvoapi[%d]: BAD HANDLE - handle=0x%X", site,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
  writeLogLine(buf);
}

void enableLog(uint8_t enable, FILE *stream) {
  std::lock_guard lock(logMutex);
  if (enable == 1) {
    logStream = stream;  // null: standard output at each write
    logEnabled = true;
  } else {
    logEnabled = false;
    logStream = nullptr;
  }
}

}  // namespace zel
