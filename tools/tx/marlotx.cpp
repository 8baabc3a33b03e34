// SPDX-License-Identifier: GPL-2.0-or-later
// marlotx - builds PSD messages from its options (or an ID3 file) and sends them to the
// exciter, once, a given number of times, or without end.
//
// Everything, the library's error log included, goes to standard output. Exit status: 0 when
// done, 8 for size and allocation errors, 9 for option errors, and the message's error number
// when an API call of a cycle fails (8 when that call recorded none).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>

#include "group_switches.hpp"
#include "held_stops.hpp"
#include "sockets.hpp"
#include "tx_options.hpp"
#include "zel_marlo.h"

namespace {

using zel::tools::TxSettings;

constexpr size_t kMaxCoreText = 127;   // longest title, artist and album sent
constexpr size_t kMaxUfidTotal = 192;  // owner id plus identifier bytes
constexpr size_t kTitleBufferSize = 1024;

// A cycle either goes on or ends the program with a status.
struct Step {
  bool ok;
  int status;
};

constexpr Step kGoOn{true, 0};

// The program ends with this status; standard output is flushed first.
Step endWith(int status) {
  std::fflush(stdout);
  return {false, status};
}

// An API call of the cycle failed: name it and end with the message's error number. A failure
// that recorded no number must still not end with status 0.
Step failed(ZEL_MARLO_PSD_MSG_t *msg, int site, const char *function) {
  std::printf("marlotx[%d]: %s failed\n", site, function);
  const int32_t errorNum = zel_marlo_getErrorNum(msg);
  return endWith(errorNum != 0 ? errorNum : zel::tools::kTxExitSize);
}

Step tooBig(const char *what, size_t size) {
  std::printf("Error :: %s too big\n", what);
  std::printf(" size -- %d :: maxAllowed-> %d\n", static_cast<int>(size),
              static_cast<int>(kMaxCoreText));
  return endWith(zel::tools::kTxExitSize);
}

// Prints a text the library handed out, or (null), and releases it.
void printText(const char *format, char *text) {
  std::printf(format, text != nullptr ? text : "(null)");
  std::free(text);
}

const char *yesNo(uint8_t flag) { return flag == 1 ? "YES" : "NO"; }

void printListing(ZEL_MARLO_PSD_MSG_t *msg, const TxSettings &settings) {
  std::printf("Retrieving PSD content from message:\n");
  std::printf("    is Core PSD enabled      --> %s\n", yesNo(zel_marlo_isPsdCoreEnabled(msg)));
  printText("    Title                    --> '%s'\n", zel_marlo_getPsdTitle(msg));
  printText("    Artist                   --> '%s'\n", zel_marlo_getPsdArtist(msg));
  printText("    Album                    --> '%s'\n", zel_marlo_getPsdAlbum(msg));
  printText("    Genre                    --> '%s'\n", zel_marlo_getPsdGenre(msg));
  std::printf("    is Comment PSD enabled   --> %s\n", yesNo(zel_marlo_isPsdCommentEnabled(msg)));
  printText("    Comment Title            --> '%s'\n", zel_marlo_getPsdCommentTitle(msg));
  printText("    Comment Desc             --> '%s'\n", zel_marlo_getPsdCommentDesc(msg));
  std::printf("    is Commercial PSD enabled--> %s\n",
              yesNo(zel_marlo_isPsdCommercialEnabled(msg)));
  printText("    Commercial Price         --> '%s'\n", zel_marlo_getPsdCommercialPrice(msg));
  printText("    Commercial Valid Until   --> '%s'\n", zel_marlo_getPsdCommentValidUntil(msg));
  printText("    Commercial URL           --> '%s'\n", zel_marlo_getPsdCommentContactUrl(msg));
  printText("    Commercial Receive As    --> '%s'\n", zel_marlo_getPsdCommentRecvAs(msg));
  printText("    Commercial SellerName    --> '%s'\n", zel_marlo_getPsdCommentSellerName(msg));
  printText("    Commercial Product Desc  --> '%s'\n", zel_marlo_getPsdCommentProductDesc(msg));
  std::printf("    is UFID PSD enable       --> %s\n", yesNo(zel_marlo_isPsdUfidEnabled(msg)));
  printText("    UFID Owner ID            --> '%s'\n", zel_marlo_getPsdUfidOwnerId(msg));
  std::printf("    UFID Identifier Len      --> '%d'\n",
              static_cast<int>(zel_marlo_getPsdUfidIdentifierSize(msg)));
  // The tool's own identifier bytes as a text: up to the first zero byte, never past the size.
  const char *bytes = reinterpret_cast<const char *>(settings.ufidIdentifier.data());
  std::printf("    UFID Identifer (Bin Data)--> '%.*s'\n",
              static_cast<int>(strnlen(bytes, settings.ufidIdentifierSize)), bytes);
  std::printf("\n");
}

// Sets the group switches and reads each one back.
Step enableGroups(ZEL_MARLO_PSD_MSG_t *msg, const TxSettings &settings) {
  const uint8_t flags[] = {settings.enableCore, settings.enableComment, settings.enableCommercial,
                           settings.enableUfid};
  static constexpr int kSites[] = {969, 976, 983, 990};
  for (size_t i = 0; i < std::size(kSites); ++i) {
    const auto &group = zel::tools::kGroupSwitches[i];
    if (!zel::tools::setGroupSwitch(msg, group, flags[i]))
      return failed(msg, kSites[i], group.name);
  }
  return kGoOn;
}

// Fills the message from the settings, whatever the group switches say.
Step setValues(ZEL_MARLO_PSD_MSG_t *msg, const TxSettings &settings, long long &titleCounter) {
  // Without numbering the title setting itself (up to 1024 characters) is set and measured;
  // only a numbered title is composed, in a buffer of 1024 bytes.
  char numbered[kTitleBufferSize];
  const char *title = settings.title.c_str();
  if (settings.autoId != 0) {
    ++titleCounter;
    // snprintf cuts what does not fit; such a title is far beyond the size limit anyway.
    std::snprintf(numbered, sizeof numbered, "[%04lld] %s", titleCounter, title);
    title = numbered;
  }

  if (zel_marlo_setPsdTitle(msg, title) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1030, "zel_marlo_setPsdTitle");
  }
  if (std::strlen(title) > kMaxCoreText) return tooBig("title", std::strlen(title));

  if (zel_marlo_setPsdArtist(msg, settings.artist.c_str()) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1050, "zel_marlo_setPsdArtist");
  }
  if (settings.artist.size() > kMaxCoreText) return tooBig("artist", settings.artist.size());

  if (zel_marlo_setPsdAlbum(msg, settings.album.c_str()) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1070, "zel_marlo_setPsdAlbum");
  }
  if (settings.album.size() > kMaxCoreText) return tooBig("album", settings.album.size());

  if (zel_marlo_setPsdGenre(msg, settings.genre.c_str()) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1090, "zel_marlo_setPsdGenre");
  }
  if (zel_marlo_setPsdComment(msg, settings.commTitle.c_str(), settings.commDesc.c_str()) !=
      ZEL_MARLO_SUCCESS) {
    return failed(msg, 1098, "zel_marlo_setPsdComment");
  }
  if (zel_marlo_setPsdCommercial(msg, settings.comrPrice.c_str(), settings.comrValidUntil.c_str(),
                                 settings.comrContactUrl.c_str(), settings.comrRecvAs.c_str(),
                                 settings.comrSellerName.c_str(),
                                 settings.comrProductDesc.c_str()) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1110, "zel_marlo_setPsdCommercial");
  }
  if (zel_marlo_setPsdUfid(msg, settings.ufidOwnerId.c_str(), settings.ufidIdentifier.data(),
                           settings.ufidIdentifierSize) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1120, "zel_marlo_setPsdUfid");
  }
  return kGoOn;
}

// Builds, lists, checks, saves, prints and sends one message.
Step buildAndSend(ZEL_MARLO_PSD_MSG_t *msg, const TxSettings &settings, long long &titleCounter) {
  Step step = enableGroups(msg, settings);
  if (!step.ok) return step;

  if (!settings.loadFile.empty()) {
    if (zel_marlo_loadId3PsdFile(msg, settings.loadFile.c_str()) != ZEL_MARLO_SUCCESS) {
      return failed(msg, 1002, "zel_marlo_loadId3PsdFile");
    }
    std::printf("PSD message loaded from ID3 formatted file '%s'\n", settings.loadFile.c_str());
    std::fflush(stdout);
  } else {
    step = setValues(msg, settings, titleCounter);
    if (!step.ok) return step;
  }

  printListing(msg, settings);

  if (zel_marlo_validatePsdMsg(msg) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1206, "zel_marlo_validatePsdMsg");
  }
  if (!settings.saveFile.empty()) {
    int32_t saved = ZEL_MARLO_FAILURE;
    {
      const zel::tools::HeldStops held(settings.saveFile.c_str());
      saved = zel_marlo_saveId3PsdFile(msg, settings.saveFile.c_str());
    }
    if (saved != ZEL_MARLO_SUCCESS) {
      return failed(msg, 1218, "zel_marlo_saveId3PsdFile");
    }
    std::printf("PSD message saved to ID3 formatted file '%s'\n", settings.saveFile.c_str());
    std::fflush(stdout);
  }

  std::printf("Sending PSD message to '%s':\n", settings.host.c_str());
  zel_marlo_fprintPsdMsg(msg, stdout, 1);

  const auto contentId = static_cast<uint16_t>(settings.contentId);
  if (zel_marlo_createPsdMsg(msg, contentId) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1240, "zel_marlo_createPsdMsg");
  }
  if (zel_marlo_sendPsdMsg(msg, settings.host.c_str(), settings.port, ZEL_MARLO_MSG_ID_PSD) !=
      ZEL_MARLO_SUCCESS) {
    return failed(msg, 1252, "zel_marlo_sendPsdMsg");
  }
  return kGoOn;
}

// One message from allocation to deletion. A cycle that ends the program still releases its
// message.
Step runCycle(TxSettings &settings, long long &titleCounter) {
  if (settings.count > 0) --settings.count;

  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) {
    std::printf("Error - zel_marlo_createMsg failed\n");
    return endWith(zel::tools::kTxExitSize);
  }
  const Step step = buildAndSend(msg, settings, titleCounter);
  if (!step.ok) {
    zel_marlo_deletePsdMsg(msg);
    return step;
  }
  if (zel_marlo_deletePsdMsg(msg) != ZEL_MARLO_SUCCESS) {
    return failed(msg, 1259, "zel_marlo_deletePsdMsg");  // the block was not released
  }
  return kGoOn;
}

}  // namespace

int main(int argc, char **argv) {
  if (!zel::tools::startSockets()) return 0;

  TxSettings settings = zel::tools::defaultTxSettings();
  const zel::tools::TxParse parse = zel::tools::parseTxOptions(argc, argv, settings, stdout);
  if (parse.action == zel::tools::TxAction::exit) {
    std::fflush(stdout);
    return parse.status;
  }
  if (parse.action == zel::tools::TxAction::version) {
    zel::tools::printTxBanner(stdout, zel_marlo_getVersion());
    std::fflush(stdout);
    return 0;
  }

  zel_marlo_enableErrorLog(1, stdout);

  if (settings.enableUfid == 1 &&
      settings.ufidOwnerId.size() + settings.ufidIdentifierSize > kMaxUfidTotal) {
    std::printf("Error :: UFID Owner ID and identifier ARE TOO BIG\n");
    std::printf("idSize-> %d : identifierSize-> %d : maxAllowed-> %d\n",
                static_cast<int>(settings.ufidOwnerId.size()),
                static_cast<int>(settings.ufidIdentifierSize), static_cast<int>(kMaxUfidTotal));
    std::fflush(stdout);
    return zel::tools::kTxExitSize;
  }

  zel::tools::printTxBanner(stdout, zel_marlo_getVersion());

  long long titleCounter = 0;
  while (settings.count != 0) {
    const Step step = runCycle(settings, titleCounter);
    if (!step.ok) return step.status;
    if (settings.count == 0) break;
    std::fflush(stdout);
    const uint64_t millis = zel::tools::txSleepMillis(settings.interval);
    std::this_thread::sleep_for(std::chrono::milliseconds(millis));
  }

  std::printf("done.\n");
  std::fflush(stdout);
  return 0;
}
