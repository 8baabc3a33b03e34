// SPDX-License-Identifier: GPL-2.0-or-later
// marlorx - plays the broadcast system's side of the PSD feed: receives VESK packets on a UDP
// port, prints every PSD message, optionally saves it as an ID3 file and forwards its bare ID3
// tag to another host.
//
// Everything, the library's error log included, goes to standard output. Exit status: 0 after
// the last message, the version or the usage text; 1 after an option error or a failed call.
//
// Texts come from anyone who can send a datagram: what the program prints of them, the
// message and the library's reports, shows their control characters as escapes
// (terminal_text.hpp), so that no sender can drive the operator's terminal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>

#include "group_switches.hpp"
#include "held_stops.hpp"
#include "rx_options.hpp"
#include "sockets.hpp"
#include "terminal_text.hpp"
#include "zel_marlo.h"

namespace {

using zel::tools::RxSettings;

// A failed call ends the program. The message and the tag it may hold are released first.
int failed(int site, const char *function, ZEL_MARLO_PSD_MSG_t *msg,
           ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr) {
  std::printf("orvorx[%d]: %s failed\n", site, function);
  std::fflush(stdout);
  if (tag != nullptr) zel_marlo_freeId3PsdMsg(tag);
  if (msg != nullptr) zel_marlo_deletePsdMsg(msg);
  return zel::tools::kRxExitFailure;
}

// Applies the four group switches and reads each one back; 0 when all hold, else the failure.
int applySwitches(ZEL_MARLO_PSD_MSG_t *msg, const RxSettings &settings) {
  const bool on[] = {settings.enableCore, settings.enableComment, settings.enableCommercial,
                     settings.enableUfid};
  static constexpr int kSites[] = {447, 454, 461, 468};
  for (size_t i = 0; i < std::size(kSites); ++i) {
    const auto &group = zel::tools::kGroupSwitches[i];
    if (!zel::tools::setGroupSwitch(msg, group, on[i] ? 1 : 0))
      return failed(kSites[i], group.name, msg);
  }
  return 0;
}

// The message as zel_marlo_fprintPsdMsg prints it, its controls shown as escapes; its texts are
// ISO-8859-1 in text encoding 0, UTF-8 in any other. Nothing when there is no memory for it.
void printReceived(ZEL_MARLO_PSD_MSG_t *msg) {
  char *text = nullptr;
  size_t length = 0;
  FILE *memory = open_memstream(&text, &length);
  if (memory == nullptr) return;
  zel_marlo_fprintPsdMsg(msg, memory, 1);
  const bool complete = std::fclose(memory) == 0;
  int32_t encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
  zel_marlo_getId3TextEncoding(msg, &encoding);
  if (complete && text != nullptr) {
    const std::string shown =
        zel::tools::terminalText(std::string(text, length), encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1
                                                                ? zel::tools::Charset::latin1
                                                                : zel::tools::Charset::utf8);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
  }
  std::free(text);
}

#if defined(__GLIBC__)
// The library's reports pass through here on their way to standard output; it flushes its
// stream after each one, so each arrives whole and in its place among the program's lines.
ssize_t writeReports(void *cookie, const char *bytes, size_t size) {
  const std::string shown =
      zel::tools::terminalText(std::string(bytes, size), zel::tools::Charset::utf8);
  auto *out = static_cast<FILE *>(cookie);
  std::fwrite(shown.data(), 1, shown.size(), out);
  std::fflush(out);
  return static_cast<ssize_t>(size);
}
#endif

// The stream the library's error log goes to: standard output, through the escapes where the C
// library lets a stream be made of a function.
FILE *reportStream() {
#if defined(__GLIBC__)
  cookie_io_functions_t functions{};
  functions.write = writeReports;
  if (FILE *stream = fopencookie(stdout, "w", functions); stream != nullptr) return stream;
#endif
  return stdout;
}

// Receives one packet and handles it. 0 to go on, else the exit status.
int receiveOne(const RxSettings &settings) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) {
    return failed(440, "zel_marlo_allocPsdMsg", nullptr);
  }
  if (const int status = applySwitches(msg, settings); status != 0) return status;

  ZEL_MARLO_MSG_ID_t msgId = 0;
  if (zel_marlo_recvPsdMsg(msg, settings.listenPort, &msgId) != ZEL_MARLO_SUCCESS) {
    return failed(480, "zel_marlo_recvPsdMsg", msg);
  }
  if (msgId != ZEL_MARLO_MSG_ID_PSD) {
    if (msgId == ZEL_MARLO_MSG_ID_FLUSH) {
      std::printf("PSD Flush message received \n");
    } else {
      std::printf("unsupported PSD msg %d received  \n", static_cast<int>(msgId));
    }
    std::fflush(stdout);
    if (zel_marlo_deletePsdMsg(msg) != ZEL_MARLO_SUCCESS) {
      return failed(561, "zel_marlo_deletePsdMsg", nullptr);
    }
    return 0;
  }

  uint16_t contentId = 0;  // not used
  if (zel_marlo_parsePsdMsg(msg, &contentId) != ZEL_MARLO_SUCCESS) {
    return failed(498, "zel_marlo_parsePsdMsg", msg);
  }
  if (!settings.saveFile.empty()) {
    int32_t saved = ZEL_MARLO_FAILURE;
    {
      const zel::tools::HeldStops held(settings.saveFile.c_str());
      saved = zel_marlo_saveId3PsdFile(msg, settings.saveFile.c_str());
    }
    if (saved != ZEL_MARLO_SUCCESS) {
      return failed(512, "zel_marlo_saveId3PsdFile", msg);
    }
    std::printf("PSD message saved to ID3 formatted file '%s'\n", settings.saveFile.c_str());
    std::fflush(stdout);
  }

  printReceived(msg);

  ZEL_MARLO_ID3_PSD_MSG_t *tag = nullptr;
  if (zel_marlo_getId3PsdMsg(msg, &tag) != ZEL_MARLO_SUCCESS) {
    return failed(528, "zel_marlo_getId3PsdMsg", msg);
  }
  if (settings.rawPort != -1 && zel_marlo_sendRawPsdMsg(msg, settings.rawHost.c_str(),
                                                        settings.rawPort) != ZEL_MARLO_SUCCESS) {
    return failed(547, "zel_marlo_sendRawPsdMsg", msg, tag);
  }
  if (zel_marlo_freeId3PsdMsg(tag) != ZEL_MARLO_SUCCESS) {
    return failed(555, "zel_marlo_freeId3PsdMsg", msg);
  }
  if (zel_marlo_deletePsdMsg(msg) != ZEL_MARLO_SUCCESS) {
    return failed(561, "zel_marlo_deletePsdMsg", nullptr);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (!zel::tools::startSockets()) return 0;

  RxSettings settings;
  const zel::tools::RxParse parse = zel::tools::parseRxOptions(argc, argv, settings, stdout);
  if (parse.action == zel::tools::RxAction::exit) {
    std::fflush(stdout);
    return parse.status;
  }
  if (parse.action == zel::tools::RxAction::version) {
    zel::tools::printRxBanner(stdout, zel_marlo_getVersion());
    std::fflush(stdout);
    return 0;
  }

  zel_marlo_enableErrorLog(1, reportStream());
  zel::tools::printRxBanner(stdout, zel_marlo_getVersion());
  const std::time_t now = std::time(nullptr);
  const char *localTime = std::ctime(&now);  // brings its own line break
  std::printf("VESK PSD receiver is now listening for messages on %s\n",
              localTime != nullptr ? localTime : "?\n");
  std::fflush(stdout);

  // Every packet counts, flushes and unsupported ones included; -1 never runs out.
  for (int count = settings.count; count != 0;) {
    if (count > 0) --count;
    if (const int status = receiveOne(settings); status != 0) return status;
  }
  std::printf("done.\n");
  std::fflush(stdout);
  return 0;
}
