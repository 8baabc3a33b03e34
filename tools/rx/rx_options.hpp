// SPDX-License-Identifier: GPL-2.0-or-later
// marlorx command line: the settings record, option parsing and the usage text.
//
// Nothing here touches the network or the library: parsing reports every warning and error on
// the stream it is given and tells the caller what to do next.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace zel::tools {

inline constexpr const char *kRxName = "orvorx v2.0w Jul 17 2008";
inline constexpr int kRxListenPort = 11000;   // the exciter's port
inline constexpr int kRxForwardPort = 10001;  // where bare tags go when no port is given
inline constexpr int kRxExitFailure = 1;

// Everything a run of marlorx is told by its command line.
struct RxSettings {
  int count = -1;        // messages to receive; -1 = no limit
  std::string saveFile;  // empty: no saving
  int listenPort = kRxListenPort;
  std::string rawHost;  // where bare ID3 tags are forwarded
  int rawPort = -1;     // -1: nothing is forwarded
  bool enableCore = true;
  bool enableComment = true;
  bool enableCommercial = true;
  bool enableUfid = true;
};

// What the command line asks for.
enum class RxAction {
  run,      // listen for messages
  version,  // print the banner and end with status 0
  exit,     // end at once with RxParse::status (usage text or an option error, already printed)
};

struct RxParse {
  RxAction action;
  int status;
};

// Reads the options into settings (which holds the defaults), printing warnings and errors to
// out. argv may be permuted, as getopt_long does.
RxParse parseRxOptions(int argc, char **argv, RxSettings &settings, FILE *out);

// The usage text, every line filled to column 71.
std::string rxHelpText();

// "<name> \n(<version text>)\n".
void printRxBanner(FILE *out, const char *versionText);

}  // namespace zel::tools
