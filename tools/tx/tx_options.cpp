// SPDX-License-Identifier: GPL-2.0-or-later
#include "tx_options.hpp"

#include <getopt.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tools_common.hpp"

namespace zel::tools {

namespace {

// One line of the help text. Most lines are filled with blanks up to column 71 (tabs stop every
// eight columns); the two lines of -b end in two tabs and are not filled.
struct HelpLine {
  const char *text;
  bool fill = true;
};

constexpr HelpLine kTxHelp[] = {
    {"VESK PSD Transmit Application"},
    {"  This application can be used to manually or automatically generate"},
    {"  PSD messages and send them to the broadcast system. This application"},
    {"  is essentially a front-end command-line interface to the API."},
    {""},
    {"Usage: veskpsdtx [options]"},
    {"  With no options, the application will continuously build and send"},
    {"  a PSD message to the default (localhost) destination. Only the title,"},
    {"  artist, album and genre fields contain data. The title field will be"},
    {"  auto incremented to facility message testing."},
    {""},
    {"  By using the options below, the PSD message can be customized and"},
    {"  the VESK PSD API can be explored."},
    {""},
    {"Options:"},
    {"   -m|--time {seconds}"},
    {"        Time in seconds between PSD messages default is 4"},
    {"   -n|--count {number}"},
    {"        Number of PSD messages to send. default is continuous"},
    {"   -k|--addr {hostname}   with/without  :Port"},
    {"        Hostname or ip address to send PSD message"},
    {"        ex. addr or addr:port or hostname or hostname:port"},
    {"        if port is not specified, default VESK exciter port is used"},
    {"   -i --contentID"},
    {"        Set the contentID to an unique integer, orhterwise def = 0"},
    {"   -o|--autoId {T/F}"},
    {"        Enable or disable auto incrementing of title field."},
    {"        By default a new number will be transmitted in the title"},
    {"        field of each PSD messages. Use 'F' to disable."},
    {"   -f|--save {file name}"},
    {"        Specify filename to store PSD message in ID3 format"},
    {"   -j|--load {file name}"},
    {"        Specify input ID3 file to load PSD message from"},
    {"   -w|--enableCore {T/F}"},
    {"        Enable sending of core PSD parameters (title, artist, album,"},
    {"        and genre). By default core parameters are enabled."},
    {"   -y|--enableComment {T/F}"},
    {"        Enable sending of PSD comment. Default is disabled."},
    {"   -z|--enableCommercial {T/F}"},
    {"        Enable sending of PSD commercial. Default is disabled."},
    {"   -b|--enableUfid {T/F}\t\t", false},
    {"        Enable sending of PSD UFID. Default is disabled.\t\t", false},
    {"   -t|--title {title}"},
    {"        Set PSD title string"},
    {"   -a|--artist {artist}"},
    {"        Set PSD artist string"},
    {"   -l|--album {album}"},
    {"        Set PSD album string"},
    {"   -g|--genre {genre}"},
    {"        Set PSD genre string"},
    {"   -c|--commTitle {title}"},
    {"        Set PSD comment title string"},
    {"   -e|--commDesc {description}"},
    {"        Set PSD comment description string"},
    {"   -p|--comrPrice {price}"},
    {"        Set PSD commercial price (e.g., USD5.95)"},
    {"   -x|--comrValidUntil {date}"},
    {"        Set PSD commercial expiration date (Format=YYYYMMDD)"},
    {"   -u|--comrContactUrl {URL}"},
    {"        Set PSD commercial contact URL (e.g., http://www.example.com)"},
    {"   -r|--comrRecvAs {code}"},
    {"        Set PSD commercial receive as code (range: 0-8)."},
    {"   -s|--comrSellerName {seller name}"},
    {"        Set PSD commercial seller name"},
    {"   -d|--comrProductDesc {description}"},
    {"        Set PSD commercial product description"},
    {"   -I|--Set PSD UFID Owner ID (input as string)\t\t\t"},
    {"   -B|--Set PSD UFID identifier (Binary Data)\t\t\t"},
    {"        Must be input as a hex string with 0X format, i.e.,"},
    {"\t\t   0Xab12cd34ef56\tor 0x567890babcdef (even number of nibbles)"},
    {"   -S|--Set PSD UFID identifier (String Data)\t\t\t"},
    {"        The ASCII values of the string are put in identifier field)"},
    {"        Note: can only use either B or S but not both"},
    {"   -v|--version"},
    {"        Display version information"},
    {"   -h|--help|-?"},
    {"        Display this help text"},
};

constexpr const char *kShortOptions = "m:n:w:y:z:b:t:a:l:g:c:e:p:x:u:r:s:d:I:B:S:f:j:k:i:o:v?h";

const option kLongOptions[] = {
    {"time", required_argument, nullptr, 'm'},
    {"count", required_argument, nullptr, 'n'},
    {"enableCore", required_argument, nullptr, 'w'},
    {"enableComment", required_argument, nullptr, 'y'},
    {"enableCommercial", required_argument, nullptr, 'z'},
    {"enableUfid", required_argument, nullptr, 'b'},
    {"title", required_argument, nullptr, 't'},
    {"artist", required_argument, nullptr, 'a'},
    {"album", required_argument, nullptr, 'l'},
    {"genre", required_argument, nullptr, 'g'},
    {"commTitle", required_argument, nullptr, 'c'},
    {"commDesc", required_argument, nullptr, 'e'},
    {"comrPrice", required_argument, nullptr, 'p'},
    {"comrValidUntil", required_argument, nullptr, 'x'},
    {"comrContactUrl", required_argument, nullptr, 'u'},
    {"comrRecvAs", required_argument, nullptr, 'r'},
    {"comrSellerName", required_argument, nullptr, 's'},
    {"comrProductDesc", required_argument, nullptr, 'd'},
    {"ufidOwnerId", required_argument, nullptr, 'I'},
    {"ufidIdentifier", required_argument, nullptr, 'B'},
    {"ufidIdentifierAsStr", required_argument, nullptr, 'S'},
    {"save", required_argument, nullptr, 'f'},
    {"load", required_argument, nullptr, 'j'},
    {"addr", required_argument, nullptr, 'k'},
    {"contentID", required_argument, nullptr, 'i'},
    {"autoId", required_argument, nullptr, 'o'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Text options: the setting each one writes and the name its truncation warning uses.
struct TextOption {
  int letter;
  std::string TxSettings::*field;
  const char *warningName;
};

const TextOption kTextOptions[] = {
    {'t', &TxSettings::title, "title"},
    {'a', &TxSettings::artist, "artist"},
    {'l', &TxSettings::album, "album"},
    {'g', &TxSettings::genre, "genre"},
    {'c', &TxSettings::commTitle, "comment title"},
    {'e', &TxSettings::commDesc, "comment description"},
    {'p', &TxSettings::comrPrice, "commercial price"},
    {'x', &TxSettings::comrValidUntil, "commercial valid until"},
    {'u', &TxSettings::comrContactUrl, "commercial contact url"},
    {'r', &TxSettings::comrRecvAs, "commercial receive as"},
    {'s', &TxSettings::comrSellerName, "commercial seller name"},
    {'d', &TxSettings::comrProductDesc, "commercial product description"},
    {'I', &TxSettings::ufidOwnerId, "ufid owner ID"},
};

// The group switches and the name each one's error message uses.
struct FlagOption {
  int letter;
  uint8_t TxSettings::*field;
  const char *errorName;
};

const FlagOption kFlagOptions[] = {
    {'w', &TxSettings::enableCore, "enableCore"},
    {'y', &TxSettings::enableComment, "enableComment"},
    {'z', &TxSettings::enableCommercial, "enableCommercial"},
    {'b', &TxSettings::enableUfid, "enableUfid"},
    {'o', &TxSettings::autoId, nullptr},
};

// The argument, cut to its first kTxTextMax characters with a warning naming what was cut.
std::string keepText(const char *arg, const char *warningName, FILE *out) {
  std::string text(arg);
  if (text.size() > kTxTextMax) {
    std::fprintf(out, "Warning -- truncating %s to %d bytes\n", warningName,
                 static_cast<int>(kTxTextMax));
    text.resize(kTxTextMax);
  }
  return text;
}

void clearUfid(TxSettings &settings) {
  settings.ufidIdentifier.fill(0);
  settings.ufidIdentifierSize = 0;
  settings.ufidHex.clear();
}

// -k: host, or host:port. A port outside 1..65535 falls back to the default port; a host
// longer than a host name can be is an error (false).
bool setAddress(TxSettings &settings, const char *arg, FILE *out) {
  const HostPort address = splitHostPort(arg);
  if (!hostFits(address, arg, out)) return false;
  settings.port = 0;
  if (address.hasPort) {
    if (address.port < 1 || address.port > 65535) {
      std::fprintf(out, "Error -- invalid port number in --> '%s' using default \n", arg);
    } else {
      settings.port = address.port;
    }
  }
  settings.host = address.host;
  return true;
}

// -f and -j: the path whole, or an error (false) when it is longer than the system takes.
bool setPath(std::string &setting, const char *arg, const char *what, FILE *out) {
  if (!pathFits(arg, what, out)) return false;
  setting = arg;
  return true;
}

TxParse exitWith(int status) { return {TxAction::exit, status}; }

}  // namespace

TxSettings defaultTxSettings() {
  TxSettings settings;
  setUfidFromHex(settings, kTxDefaultUfidHex, stdout);  // the default text always reads
  return settings;
}

bool setUfidFromHex(TxSettings &settings, const std::string &hex, FILE *out) {
  settings.ufidIdentifier.fill(0);
  settings.ufidHex = hex;
  const size_t length = hex.size();
  if (length < 2 || (length - 2) % 2 != 0) {
    std::fprintf(out, "string length must be 2 X number of bytes \n");
    clearUfid(settings);
    return false;
  }
  // The text is written most significant byte first after its "0X"; the last pair of the text
  // is the first byte of the identifier.
  const size_t size = (length - 2) / 2;
  for (size_t k = 0; k < size; ++k) {
    const char pair[3] = {hex[length - 2 - 2 * k], hex[length - 1 - 2 * k], '\0'};
    unsigned value = 0;
    if (std::sscanf(pair, "%x", &value) != 1) {
      std::fprintf(out, "sscanf returned error %c :: %c \n", pair[0], pair[1]);
      clearUfid(settings);
      return false;
    }
    settings.ufidIdentifier[k] = static_cast<uint8_t>(value);
  }
  settings.ufidIdentifierSize = static_cast<uint32_t>(size);
  return true;
}

TxParse parseTxOptions(int argc, char **argv, TxSettings &settings, FILE *out) {
  resetGetopt();
  for (;;) {
    const int letter = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (letter == -1) break;

    bool handled = false;
    for (const TextOption &text : kTextOptions) {
      if (text.letter == letter) {
        settings.*text.field = keepText(optarg, text.warningName, out);
        handled = true;
      }
    }
    for (const FlagOption &flag : kFlagOptions) {
      if (flag.letter != letter) continue;
      handled = true;
      const int value = readSwitch(optarg);
      if (value < 0) {
        if (flag.errorName != nullptr) {
          std::fprintf(out, "Error -- invalid %s option '%s' (T/F)\n", flag.errorName, optarg);
        } else {
          std::fprintf(out, "Error -- invalid auto psd message counter option '%s' (T/F)\n",
                       optarg);
        }
        return exitWith(kTxExitOption);
      }
      settings.*flag.field = static_cast<uint8_t>(value);
    }
    if (handled) continue;

    switch (letter) {
      case 'm': {
        const float interval = readSeconds(optarg);
        // A time that is not a number cannot be waited for either.
        if (!(interval >= 0.0f)) {
          std::fprintf(out, "Error -- invalid time %s (< 0 sec)\n", optarg);
          return exitWith(kTxExitOption);
        }
        settings.interval = interval;
        break;
      }
      case 'n': {
        const int32_t count = readNumber(optarg);
        if (count < 0) {
          std::fprintf(out, "Error -- invalid count %s (< 0)\n", optarg);
          return exitWith(kTxExitOption);
        }
        settings.count = count;
        break;
      }
      case 'B':
        if (!setUfidFromHex(settings, keepText(optarg, "ufid identifier bin data", out), out)) {
          return exitWith(kTxExitOption);
        }
        break;
      case 'S': {
        const std::string text = keepText(optarg, "identifier", out);
        settings.ufidIdentifier.fill(0);
        std::memcpy(settings.ufidIdentifier.data(), text.data(), text.size());
        settings.ufidIdentifierSize = static_cast<uint32_t>(text.size());
        break;
      }
      case 'f':
        if (!setPath(settings.saveFile, optarg, "save", out)) return exitWith(kTxExitOption);
        break;
      case 'j': {
        if (!setPath(settings.loadFile, optarg, "load", out)) return exitWith(kTxExitOption);
        FILE *file = std::fopen(settings.loadFile.c_str(), "rb");
        if (file == nullptr) {
          std::fprintf(out, "Error -- load file not found: '%s' \n", settings.loadFile.c_str());
          return exitWith(kTxExitOption);
        }
        std::fclose(file);
        break;
      }
      case 'k':
        if (!setAddress(settings, optarg, out)) return exitWith(kTxExitOption);
        break;
      case 'i': {
        const int32_t contentId = readNumber(optarg);
        if (contentId > 65535) {
          std::fprintf(out, "Error -- invalid content ID in --> '%s' using def = 0 \n", optarg);
          settings.contentId = 0;
        } else {
          settings.contentId = contentId;
        }
        break;
      }
      case 'v':
        return {TxAction::version, 0};
      case '?':
      case 'h':
        if (isLoneHelpRequest(argc, argv)) {
          std::fputs(txHelpText().c_str(), out);
          return exitWith(0);
        }
        std::fprintf(out, "Error -- invalid option. For help, type \"%s --help\" or -? \n",
                     argv[0]);
        return exitWith(kTxExitOption);
      default:
        std::fprintf(out, "Error -- invalid option (use --help or -? for help)\n");
        return exitWith(kTxExitOption);
    }
  }

  if (optind < argc) {
    std::fprintf(out, "Error -- invalid option elements optind-->%d argc-->%d \n", optind, argc);
    return exitWith(kTxExitOption);
  }
  return {TxAction::run, 0};
}

std::string txHelpText() {
  std::string text;
  for (const HelpLine &line : kTxHelp) {
    text += line.fill ? fillToColumn71(line.text) : std::string(line.text);
    text += '\n';
  }
  return text;
}

void printTxBanner(FILE *out, const char *versionText) {
  std::fprintf(out, "%s \n(%s)\n", kTxName, versionText);
}

uint64_t txSleepMillis(float interval) {
  const float millis = interval * 1000.0f;
  // About 49 days; keeps an infinite or absurd interval from overflowing the conversion.
  constexpr uint64_t kLongest = 0xFFFFFFFFu;
  if (!(millis > 0.0f)) return 0;
  if (millis >= static_cast<float>(kLongest)) return kLongest;
  return static_cast<uint64_t>(millis);
}

}  // namespace zel::tools
