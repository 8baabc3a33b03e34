// SPDX-License-Identifier: GPL-2.0-or-later
// marlotx command line: the settings record, its defaults, option parsing and the help text.
//
// Nothing here touches the network or the library: parsing reports every warning and error on
// the stream it is given and tells the caller what to do next.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zel::tools {

inline constexpr const char *kTxName = "marlotx v4.0w Jul 17 2008";
inline constexpr const char *kTxDefaultContactUrl = "http://www.example.com";
inline constexpr const char *kTxDefaultUfidHex = "0X70752074616877202c646c726f57206f6c6c6548";

inline constexpr size_t kTxTextMax = 1024;  // longest text option kept
inline constexpr int kTxExitSize = 8;       // size and allocation errors
inline constexpr int kTxExitOption = 9;     // option errors

// Everything a run of marlotx is told by its command line.
struct TxSettings {
  float interval = 4.0f;  // seconds between two messages
  int32_t count = -1;     // messages to send; -1 = without end
  std::string saveFile;   // empty: no saving
  std::string loadFile;   // empty: content from the options
  uint8_t autoId = 1;     // number the title of each message
  std::string host = "localhost";
  int32_t port = 0;  // below 1: the library's default exciter port

  uint8_t enableCore = 1;
  uint8_t enableComment = 0;
  uint8_t enableCommercial = 0;
  uint8_t enableUfid = 0;

  std::string title = "title/topic/announcement";
  std::string artist = "artist/host/sponsor";
  std::string album = "album/show name/sponsor name";
  std::string genre = "Jazz";
  std::string commTitle = "one-line comment title";
  std::string commDesc = "comment description text";
  std::string comrPrice = "USD10.0";
  std::string comrValidUntil = "20041231";
  std::string comrContactUrl = kTxDefaultContactUrl;
  std::string comrRecvAs = "0";
  std::string comrSellerName = "seller's name";
  std::string comrProductDesc = "product description text";
  std::string ufidOwnerId = "UFID Owner ID !!!!";
  std::string ufidHex = kTxDefaultUfidHex;
  // Identifier bytes, least significant first; the bytes past ufidIdentifierSize are zero.
  std::array<uint8_t, kTxTextMax> ufidIdentifier{};
  uint32_t ufidIdentifierSize = 0;

  int32_t contentId = 0;  // only the low 16 bits reach the container
};

// What the command line asks for.
enum class TxAction {
  run,      // build and send messages
  version,  // print the banner and end with status 0
  exit,     // end at once with TxParse::status (help text or an option error, already printed)
};

struct TxParse {
  TxAction action;
  int status;
};

// The defaults, with the default hex identifier already turned into its bytes.
TxSettings defaultTxSettings();

// Reads hex text ("0X" or "0x", then the bytes most significant first) into the identifier as
// -B does. On a bad text prints the error to out, clears identifier and hex text and returns
// false.
bool setUfidFromHex(TxSettings &settings, const std::string &hex, FILE *out);

// Reads the options into settings (which holds the defaults), printing warnings and errors to
// out. argv may be permuted, as getopt_long does.
TxParse parseTxOptions(int argc, char **argv, TxSettings &settings, FILE *out);

// The help text, every line filled to column 71.
std::string txHelpText();

// "<name> \n(<version text>)\n".
void printTxBanner(FILE *out, const char *versionText);

// The milliseconds to wait between two messages: the seconds times 1000 as a 32-bit float,
// truncated toward zero (and kept within what a sleep can take).
uint64_t txSleepMillis(float interval);

}  // namespace zel::tools
