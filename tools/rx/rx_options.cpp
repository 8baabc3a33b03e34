// SPDX-License-Identifier: GPL-2.0-or-later
#include "rx_options.hpp"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

#include "tools_common.hpp"

namespace zel::tools {

namespace {

constexpr const char *kRxHelp[] = {
    "VESK PSD Receive Application",
    "  This application simulates a broadcast system receiving PSD messages",
    "  from PSD clients such as studio automation systems or other PSD",
    "  providers.",
    "",
    "Usage: veskpsdrx [options]",
    "  With no options, the application will continuously listen for and",
    "  and receive incoming PSD messages. Messages received will be",
    "  displayed.",
    "",
    "Options:",
    "   -n|--count {number}",
    "        Number of PSD messages to receive before exiting.",
    "        Default is continuous.",
    "   -f|--save {file name}",
    "        Specify filename to store PSD message in ID3 format",
    "   -v|--version",
    "        Display version information",
    "   -p|--port specifies which port to listen on default to 11000",
    "   -k|--addr {hostname}   with/without  :Port",
    "        Hostname or ip address to send Raw PSD message",
    "        ex. addr or addr:port or hostname or hostname:port",
    "        if port is not specified, default VESK exciter port is used",
    "   -w|--enableCore {T/F}  default True",
    "        Enable sending of core PSD parameters (title, artist, album,",
    "        and genre). By default core parameters are enabled.",
    "   -y|--enableComment {T/F} default true",
    "        Enable sending of PSD comment. Default is disabled.",
    "   -z|--enableCommercial {T/F}  default true",
    "        Enable sending of PSD commercial. Default is disabled.",
    "   -h|--help|-?",
    "        Display this help text",
};

constexpr const char *kShortOptions = "m:n:f:p:k:w:y:z:b:v?h";

const option kLongOptions[] = {
    {"count", required_argument, nullptr, 'n'},
    {"save", required_argument, nullptr, 'f'},
    {"version", no_argument, nullptr, 'v'},
    {"port", required_argument, nullptr, 'p'},
    {"addr", required_argument, nullptr, 'k'},
    {"enableCore", required_argument, nullptr, 'w'},
    {"enableComment", required_argument, nullptr, 'y'},
    {"enableCommercial", required_argument, nullptr, 'z'},
    {"enableUfid", required_argument, nullptr, 'b'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct SwitchOption {
  int letter;
  bool RxSettings::*field;
  const char *errorName;
};

const SwitchOption kSwitches[] = {
    {'w', &RxSettings::enableCore, "enableCore"},
    {'y', &RxSettings::enableComment, "enableComment"},
    {'z', &RxSettings::enableCommercial, "enableCommercial"},
    {'b', &RxSettings::enableUfid, "enableUfid"},
};

// -k: host, or host:port. Without a port the tags go to 10001; a port outside 1..65535 turns
// forwarding off. A host longer than a host name can be is an error (false).
bool setRawAddress(RxSettings &settings, const char *arg, FILE *out) {
  const HostPort address = splitHostPort(arg);
  if (!hostFits(address, arg, out)) return false;
  if (!address.hasPort) {
    settings.rawPort = kRxForwardPort;
  } else if (address.port < 1 || address.port > 65535) {
    std::fprintf(out, "Error -- invalid raw port number in --> '%s' using default \n", arg);
    settings.rawPort = -1;
  } else {
    settings.rawPort = address.port;
  }
  settings.rawHost = address.host;
  return true;
}

RxParse exitWith(int status) { return {RxAction::exit, status}; }

}  // namespace

RxParse parseRxOptions(int argc, char **argv, RxSettings &settings, FILE *out) {
  resetGetopt();
  for (;;) {
    const int letter = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (letter == -1) break;

    bool handled = false;
    for (const SwitchOption &option : kSwitches) {
      if (option.letter != letter) continue;
      handled = true;
      const int value = readSwitch(optarg);
      if (value < 0) {
        std::fprintf(out, "Error -- invalid %s option '%s' (T/F)\n", option.errorName, optarg);
        return exitWith(kRxExitFailure);
      }
      settings.*option.field = value == 1;
    }
    if (handled) continue;

    switch (letter) {
      case 'n': {
        const int32_t count = readNumber(optarg);
        if (count < 0) {
          std::fprintf(out, "Error -- invalid count %s (< 0)\n", optarg);
          return exitWith(kRxExitFailure);
        }
        settings.count = count;
        break;
      }
      case 'f':
        // The path whole, or an error when it is longer than the system takes.
        if (!pathFits(optarg, "save", out)) return exitWith(kRxExitFailure);
        settings.saveFile = optarg;
        break;
      case 'p': {
        const int32_t port = readNumber(optarg);
        if (port < 1 || port > 65535) {
          std::fprintf(out, "Error -- invalid port number in --> '%s' using default \n", optarg);
          settings.listenPort = kRxListenPort;
        } else {
          settings.listenPort = port;
        }
        break;
      }
      case 'k':
        if (!setRawAddress(settings, optarg, out)) return exitWith(kRxExitFailure);
        break;
      case 'v':
        return {RxAction::version, 0};
      case '?':
      case 'h':
        if (isLoneHelpRequest(argc, argv)) {
          std::fputs(rxHelpText().c_str(), out);
          return exitWith(0);
        }
        std::fprintf(out, "Error -- invalid option. For help, type \"%s --help\" or -? \n",
                     argv[0]);
        return exitWith(kRxExitFailure);
      default:  // -m among them: accepted by the option string, used by nothing
        std::fprintf(out, "Error -- invalid option (use --help or -? for help)\n");
        return exitWith(kRxExitFailure);
    }
  }

  if (optind < argc) {
    std::fprintf(out, "Error -- invalid option elements");
    for (int i = optind; i < argc; ++i) std::fprintf(out, "%s ", argv[i]);
    std::fprintf(out, "\n");
    return exitWith(kRxExitFailure);
  }
  return {RxAction::run, 0};
}

std::string rxHelpText() {
  std::string text;
  for (const char *line : kRxHelp) {
    text += fillToColumn71(line);
    text += '\n';
  }
  return text;
}

void printRxBanner(FILE *out, const char *versionText) {
  std::fprintf(out, "%s \n(%s)\n", kRxName, versionText);
}

}  // namespace zel::tools
