// SPDX-License-Identifier: GPL-2.0-or-later
// Command lines of marlotx and marlorx: defaults, every option, every option error with its
// exact text and status, and the help texts byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "rx_options.hpp"
#include "tools_common.hpp"
#include "tx_options.hpp"

namespace {

using namespace zel::tools;

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string dataFile(const char *name) { return std::string(ZEL_TOOLS_TEST_DATA) + "/" + name; }

// An argument vector that getopt_long may permute, and whatever a parse printed.
class CommandLine {
 public:
  CommandLine(std::initializer_list<std::string> args) : storage_(args) {
    storage_.insert(storage_.begin(), "prog");
    for (std::string &arg : storage_) argv_.push_back(arg.data());
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage_.size()); }
  char **argv() { return argv_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char *> argv_;
};

class Printed {
 public:
  Printed() : file_(std::tmpfile()) {}
  ~Printed() { std::fclose(file_); }
  Printed(const Printed &) = delete;
  Printed &operator=(const Printed &) = delete;
  FILE *file() { return file_; }
  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string all;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
    return all;
  }

 private:
  FILE *file_;
};

struct TxRun {
  TxParse parse;
  TxSettings settings;
  std::string out;
};

TxRun tx(std::initializer_list<std::string> args) {
  CommandLine line(args);
  Printed printed;
  TxRun run{{TxAction::run, -1}, defaultTxSettings(), {}};
  run.parse = parseTxOptions(line.argc(), line.argv(), run.settings, printed.file());
  run.out = printed.text();
  return run;
}

struct RxRun {
  RxParse parse;
  RxSettings settings;
  std::string out;
};

RxRun rx(std::initializer_list<std::string> args) {
  CommandLine line(args);
  Printed printed;
  RxRun run{{RxAction::run, -1}, RxSettings{}, {}};
  run.parse = parseRxOptions(line.argc(), line.argv(), run.settings, printed.file());
  run.out = printed.text();
  return run;
}

std::vector<uint8_t> identifier(const TxSettings &settings) {
  return {settings.ufidIdentifier.begin(),
          settings.ufidIdentifier.begin() + settings.ufidIdentifierSize};
}

void expectTxError(const TxRun &run, const std::string &message) {
  EXPECT_EQ(run.parse.action, TxAction::exit);
  EXPECT_EQ(run.parse.status, 9);
  EXPECT_EQ(run.out, message);
}

void expectRxError(const RxRun &run, const std::string &message) {
  EXPECT_EQ(run.parse.action, RxAction::exit);
  EXPECT_EQ(run.parse.status, 1);
  EXPECT_EQ(run.out, message);
}

// A file whose path has exactly the length asked for, in a tree of folders under a temporary
// folder of its own; the tree goes when the object does.
class PathOfLength {
 public:
  explicit PathOfLength(size_t length) {
    char base[] = "/tmp/zel_pathsXXXXXX";
    if (::mkdtemp(base) == nullptr) return;
    base_ = base;
    std::string path = base_;
    while (length > path.size() + 201) {  // folders of 199 characters, then the file
      path += "/" + std::string(199, 'd');
      std::filesystem::create_directory(path);
    }
    path += "/" + std::string(length - path.size() - 1, 'f');
    std::ofstream(path) << "x";
    if (path.size() == length && std::filesystem::exists(path)) path_ = path;
  }
  ~PathOfLength() {
    std::error_code ignored;
    if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
  }
  PathOfLength(const PathOfLength &) = delete;
  PathOfLength &operator=(const PathOfLength &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string base_;
  std::string path_;
};

// ---- shared pieces -------------------------------------------------------------------------

TEST(ToolsCommon, NumbersReadAsAtoiButSaturate) {
  struct Case {
    const char *text;
    int32_t value;
  };
  const Case cases[] = {
      {"0", 0},
      {"42", 42},
      {"  \t\n+7", 7},
      {"-12abc", -12},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"12 34", 12},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", INT32_MAX},
      {"-2147483649", INT32_MIN},
      // What atoi would wrap into range: 2^32 + 5, 2^32 + 11000, 2^32 - 1, -(2^32 - 11000).
      {"4294967301", INT32_MAX},
      {"4294978296", INT32_MAX},
      {"4294967295", INT32_MAX},
      {"-4294956296", INT32_MIN},
      {"00000000000000000000000000000042", 42},
      {"99999999999999999999999999999999999999", INT32_MAX},
      {"-99999999999999999999999999999999999999", INT32_MIN},
  };
  for (const Case &c : cases) EXPECT_EQ(readNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(ToolsCommon, SecondsStayInsideTheFloatRange) {
  EXPECT_EQ(readSeconds("0.5"), 0.5f);
  EXPECT_EQ(readSeconds("1e39"), std::numeric_limits<float>::max());
  EXPECT_EQ(readSeconds("-1e39"), -std::numeric_limits<float>::max());
  EXPECT_EQ(readSeconds("x"), 0.0f);
}

// ---- marlotx -------------------------------------------------------------------------------

TEST(TxOptions, DefaultsMakeACompleteCoreMessage) {
  const TxRun run = tx({});
  EXPECT_EQ(run.parse.action, TxAction::run);
  EXPECT_EQ(run.out, "");
  const TxSettings &s = run.settings;
  EXPECT_EQ(s.interval, 4.0f);
  EXPECT_EQ(s.count, -1);
  EXPECT_EQ(s.autoId, 1);
  EXPECT_EQ(s.host, "localhost");
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.enableCore + 2 * s.enableComment + 4 * s.enableCommercial + 8 * s.enableUfid, 1);
  EXPECT_EQ(s.title, "title/topic/announcement");
  EXPECT_EQ(s.comrValidUntil, "20041231");
  EXPECT_EQ(s.contentId, 0);
  EXPECT_TRUE(s.saveFile.empty());
  EXPECT_TRUE(s.loadFile.empty());
  // The default hex text is stored least significant byte first: a greeting in ASCII.
  const std::vector<uint8_t> bytes = identifier(s);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "Hello World, what up");
}

TEST(TxOptions, HexIdentifierIsReadFromTheEnd) {
  struct Case {
    const char *hex;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"0X0102", {0x02, 0x01}},
      {"0x0A0b", {0x0B, 0x0A}},
      {"0X", {}},
      {"0Xff00", {0x00, 0xFF}},
      // The first two characters are not looked at.
      {"--ab", {0xAB}},
  };
  for (const Case &c : cases) {
    const TxRun run = tx({"-B", c.hex});
    EXPECT_EQ(run.parse.action, TxAction::run) << c.hex;
    EXPECT_EQ(run.out, "") << c.hex;
    EXPECT_EQ(identifier(run.settings), c.bytes) << c.hex;
    EXPECT_EQ(run.settings.ufidHex, c.hex);
    // Nothing of the longer default identifier is left behind the new one.
    EXPECT_EQ(run.settings.ufidIdentifier[c.bytes.size()], 0) << c.hex;
  }
}

TEST(TxOptions, BadHexIdentifierEndsWithStatus9) {
  expectTxError(tx({"-B", "0X123"}), "string length must be 2 X number of bytes \n");
  expectTxError(tx({"-B", "0"}), "string length must be 2 X number of bytes \n");
  expectTxError(tx({"-B", ""}), "string length must be 2 X number of bytes \n");
  expectTxError(tx({"-B", "0XZZ"}), "sscanf returned error Z :: Z \n");
  expectTxError(tx({"--ufidIdentifier", "0X01G2"}), "sscanf returned error G :: 2 \n");
}

TEST(TxOptions, StringIdentifierReplacesHexAndTheLastOneWins) {
  TxRun run = tx({"-S", "abc"});
  EXPECT_EQ(identifier(run.settings), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(run.settings.ufidIdentifier[3], 0);

  run = tx({"-S", "abc", "-B", "0X0102"});
  EXPECT_EQ(identifier(run.settings), (std::vector<uint8_t>{0x02, 0x01}));

  run = tx({"-B", "0X0102", "--ufidIdentifierAsStr", "x"});
  EXPECT_EQ(identifier(run.settings), (std::vector<uint8_t>{'x'}));

  run = tx({"-S", std::string(65, 'q')});
  EXPECT_EQ(run.settings.ufidIdentifierSize, 65u);
}

TEST(TxOptions, SwitchesReadTheirFirstLetter) {
  struct Case {
    const char *option;
    uint8_t TxSettings::*field;
    const char *error;
  };
  const Case cases[] = {
      {"-w", &TxSettings::enableCore, "Error -- invalid enableCore option 'x' (T/F)\n"},
      {"-y", &TxSettings::enableComment, "Error -- invalid enableComment option 'x' (T/F)\n"},
      {"-z", &TxSettings::enableCommercial, "Error -- invalid enableCommercial option 'x' (T/F)\n"},
      {"-b", &TxSettings::enableUfid, "Error -- invalid enableUfid option 'x' (T/F)\n"},
      {"-o", &TxSettings::autoId, "Error -- invalid auto psd message counter option 'x' (T/F)\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(tx({c.option, "true"}).settings.*c.field, 1) << c.option;
    EXPECT_EQ(tx({c.option, "T"}).settings.*c.field, 1) << c.option;
    EXPECT_EQ(tx({c.option, "False"}).settings.*c.field, 0) << c.option;
    EXPECT_EQ(tx({c.option, "f"}).settings.*c.field, 0) << c.option;
    expectTxError(tx({c.option, "x"}), c.error);
    EXPECT_EQ(tx({c.option, ""}).parse.status, 9) << c.option;
  }
  const TxRun longForms = tx({"--enableCore", "F", "--enableComment", "T", "--enableCommercial",
                              "t", "--enableUfid", "T", "--autoId", "F"});
  EXPECT_EQ(longForms.settings.enableCore, 0);
  EXPECT_EQ(longForms.settings.enableComment, 1);
  EXPECT_EQ(longForms.settings.enableCommercial, 1);
  EXPECT_EQ(longForms.settings.enableUfid, 1);
  EXPECT_EQ(longForms.settings.autoId, 0);
}

TEST(TxOptions, TimeAndCount) {
  EXPECT_EQ(tx({"-m", "0.5"}).settings.interval, 0.5f);
  EXPECT_EQ(tx({"--time", "0"}).settings.interval, 0.0f);
  expectTxError(tx({"-m", "-0.1"}), "Error -- invalid time -0.1 (< 0 sec)\n");
  expectTxError(tx({"-m", "nan"}), "Error -- invalid time nan (< 0 sec)\n");
  EXPECT_EQ(tx({"-n", "3"}).settings.count, 3);
  EXPECT_EQ(tx({"--count", "0"}).settings.count, 0);
  EXPECT_EQ(tx({"-n", "abc"}).settings.count, 0);
  expectTxError(tx({"-n", "-2"}), "Error -- invalid count -2 (< 0)\n");
  // Counts beyond the 32-bit range neither wrap to a small count nor to a negative one.
  EXPECT_EQ(tx({"-n", "4294967296"}).settings.count, INT32_MAX);
  EXPECT_EQ(tx({"-n", "4294967295"}).settings.count, INT32_MAX);
  EXPECT_EQ(tx({"-n", "4294967297"}).settings.count, INT32_MAX);
  expectTxError(tx({"-n", "-4294967295"}), "Error -- invalid count -4294967295 (< 0)\n");
  EXPECT_EQ(tx({"-m", "1e39"}).settings.interval, std::numeric_limits<float>::max());
  expectTxError(tx({"-m", "-1e39"}), "Error -- invalid time -1e39 (< 0 sec)\n");
}

TEST(TxOptions, SleepIsWholeMillisecondsOfTheFloatProduct) {
  EXPECT_EQ(txSleepMillis(4.0f), 4000u);
  EXPECT_EQ(txSleepMillis(0.5f), 500u);
  EXPECT_EQ(txSleepMillis(0.1f), 100u);
  EXPECT_EQ(txSleepMillis(0.0019f), 1u);
  EXPECT_EQ(txSleepMillis(0.0f), 0u);
  EXPECT_EQ(txSleepMillis(std::numeric_limits<float>::infinity()), 4294967295u);
}

TEST(TxOptions, AddressTakesHostAndOptionalPort) {
  struct Case {
    const char *arg;
    const char *host;
    int port;
    const char *out;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", 0, ""},
      {"example.host:9000", "example.host", 9000, ""},
      {"h:65535", "h", 65535, ""},
      {"h:0", "h", 0, "Error -- invalid port number in --> 'h:0' using default \n"},
      {"h:65536", "h", 0, "Error -- invalid port number in --> 'h:65536' using default \n"},
      {"h:", "h", 0, "Error -- invalid port number in --> 'h:' using default \n"},
      // Beyond 32 bits a port saturates instead of wrapping to 11000.
      {"h:4294978296", "h", 0,
       "Error -- invalid port number in --> 'h:4294978296' using default \n"},
      {"h:-4294956296", "h", 0,
       "Error -- invalid port number in --> 'h:-4294956296' using default \n"},
      {"h:9000:1", "h", 9000, ""},
  };
  for (const Case &c : cases) {
    const TxRun run = tx({"-k", c.arg});
    EXPECT_EQ(run.parse.action, TxAction::run) << c.arg;
    EXPECT_EQ(run.settings.host, c.host) << c.arg;
    EXPECT_EQ(run.settings.port, c.port) << c.arg;
    EXPECT_EQ(run.out, c.out) << c.arg;
  }
  // A later -k without a port forgets the earlier port.
  EXPECT_EQ(tx({"-k", "a:5000", "--addr", "b"}).settings.port, 0);
}

TEST(TxOptions, HostIsKeptWholeUpTo253Characters) {
  for (const size_t length : {127, 128, 200, 253}) {
    const std::string host(length, 'h');
    TxRun run = tx({"-k", host});
    EXPECT_EQ(run.parse.action, TxAction::run) << length;
    EXPECT_EQ(run.settings.host, host) << length;
    run = tx({"-k", host + ":9000"});  // the port comes in addition
    EXPECT_EQ(run.settings.host, host) << length;
    EXPECT_EQ(run.settings.port, 9000) << length;
    EXPECT_EQ(run.out, "");
  }
  for (const size_t length : {254, 300}) {
    const std::string arg = std::string(length, 'h') + ":9000";
    expectTxError(tx({"-k", arg}),
                  "Error -- host name longer than 253 characters in --> '" + arg + "' \n");
    expectTxError(tx({"--addr", std::string(length, 'h')}),
                  "Error -- host name longer than 253 characters in --> '" +
                      std::string(length, 'h') + "' \n");
  }
}

TEST(TxOptions, ContentIdAbove65535FallsBackToZero) {
  EXPECT_EQ(tx({"-i", "65535"}).settings.contentId, 65535);
  EXPECT_EQ(tx({"-i", "-1"}).settings.contentId, -1);
  const TxRun run = tx({"--contentID", "70000"});
  EXPECT_EQ(run.parse.action, TxAction::run);
  EXPECT_EQ(run.settings.contentId, 0);
  EXPECT_EQ(run.out, "Error -- invalid content ID in --> '70000' using def = 0 \n");

  // 2^32 + 5 does not pass as 5; the most negative values keep only their low 16 bits (0).
  for (const char *huge : {"4294967301", "2147483648", "99999999999999999999"}) {
    const TxRun beyond = tx({"-i", huge});
    EXPECT_EQ(beyond.settings.contentId, 0) << huge;
    EXPECT_EQ(beyond.out,
              "Error -- invalid content ID in --> '" + std::string(huge) + "' using def = 0 \n");
  }
  EXPECT_EQ(tx({"-i", "-4294967301"}).settings.contentId, INT32_MIN);
}

TEST(TxOptions, TextOptionsAreCopiedAndCutTo1024WithAWarning) {
  struct Case {
    const char *option;
    const char *longOption;
    std::string TxSettings::*field;
    const char *warning;
  };
  const Case cases[] = {
      {"-t", "--title", &TxSettings::title, "title"},
      {"-a", "--artist", &TxSettings::artist, "artist"},
      {"-l", "--album", &TxSettings::album, "album"},
      {"-g", "--genre", &TxSettings::genre, "genre"},
      {"-c", "--commTitle", &TxSettings::commTitle, "comment title"},
      {"-e", "--commDesc", &TxSettings::commDesc, "comment description"},
      {"-p", "--comrPrice", &TxSettings::comrPrice, "commercial price"},
      {"-x", "--comrValidUntil", &TxSettings::comrValidUntil, "commercial valid until"},
      {"-u", "--comrContactUrl", &TxSettings::comrContactUrl, "commercial contact url"},
      {"-r", "--comrRecvAs", &TxSettings::comrRecvAs, "commercial receive as"},
      {"-s", "--comrSellerName", &TxSettings::comrSellerName, "commercial seller name"},
      {"-d", "--comrProductDesc", &TxSettings::comrProductDesc, "commercial product description"},
      {"-I", "--ufidOwnerId", &TxSettings::ufidOwnerId, "ufid owner ID"},
  };
  for (const Case &c : cases) {
    TxRun run = tx({c.option, "a 'value' with\tbytes"});
    EXPECT_EQ(run.settings.*c.field, "a 'value' with\tbytes") << c.option;
    EXPECT_EQ(run.out, "");

    run = tx({c.longOption, std::string(1024, 'v')});
    EXPECT_EQ(run.settings.*c.field, std::string(1024, 'v')) << c.option;
    EXPECT_EQ(run.out, "");

    run = tx({c.option, std::string(1000, 'v') + std::string(100, 'w')});
    EXPECT_EQ(run.settings.*c.field, std::string(1000, 'v') + std::string(24, 'w')) << c.option;
    EXPECT_EQ(run.out, "Warning -- truncating " + std::string(c.warning) + " to 1024 bytes\n");
    EXPECT_EQ(run.parse.action, TxAction::run);

    EXPECT_EQ(tx({c.option, ""}).settings.*c.field, "") << c.option;
  }
}

TEST(TxOptions, OverLongIdentifiersAreCutWithTheirOwnWarnings) {
  TxRun run = tx({"-S", std::string(1500, 's')});
  EXPECT_EQ(run.out, "Warning -- truncating identifier to 1024 bytes\n");
  EXPECT_EQ(run.settings.ufidIdentifierSize, 1024u);

  run = tx({"-B", "0X" + std::string(1100, 'a')});
  EXPECT_EQ(run.out, "Warning -- truncating ufid identifier bin data to 1024 bytes\n");
  EXPECT_EQ(run.settings.ufidIdentifierSize, 511u);
  EXPECT_EQ(run.settings.ufidIdentifier[510], 0xAA);
}

TEST(TxOptions, FileNamesAreKeptWholeUpToThePathLimit) {
  EXPECT_EQ(tx({"--save", "out.id3"}).settings.saveFile, "out.id3");
  for (const size_t length : {size_t{127}, size_t{128}, size_t{130}, size_t{1000}, kPathMax}) {
    const PathOfLength file(length);
    ASSERT_EQ(file.path().size(), length);
    const TxRun saving = tx({"-f", file.path()});
    EXPECT_EQ(saving.parse.action, TxAction::run) << length;
    EXPECT_EQ(saving.settings.saveFile, file.path()) << length;
    const TxRun loading = tx({"-j", file.path()});
    EXPECT_EQ(loading.parse.action, TxAction::run) << length << loading.out;
    EXPECT_EQ(loading.settings.loadFile, file.path()) << length;
  }
  const std::string tooLong = "/" + std::string(kPathMax, 'p');
  expectTxError(tx({"-f", tooLong}),
                "Error -- save file name longer than 4095 characters: '" + tooLong + "' \n");
  expectTxError(tx({"--load", tooLong}),
                "Error -- load file name longer than 4095 characters: '" + tooLong + "' \n");
}

TEST(TxOptions, LoadFileMustOpen) {
  expectTxError(tx({"-j", "/nonexistent/dir/x.id3"}),
                "Error -- load file not found: '/nonexistent/dir/x.id3' \n");
  const std::string self = dataFile("marlotx_help.txt");
  const TxRun run = tx({"--load", self});
  EXPECT_EQ(run.parse.action, TxAction::run);
  EXPECT_EQ(run.settings.loadFile, self);
}

TEST(TxOptions, LaterOptionsOverrideEarlierOnes) {
  const TxRun run = tx({"-t", "first", "-n", "5", "--title", "second", "-n", "1"});
  EXPECT_EQ(run.settings.title, "second");
  EXPECT_EQ(run.settings.count, 1);
}

TEST(TxOptions, VersionStopsTheParse) {
  EXPECT_EQ(tx({"-v"}).parse.action, TxAction::version);
  EXPECT_EQ(tx({"-n", "2", "--version", "-n", "-5"}).parse.action, TxAction::version);
  // An error met before -v still counts.
  EXPECT_EQ(tx({"-n", "-5", "-v"}).parse.status, 9);
}

TEST(TxOptions, HelpOnlyAsTheOnlyArgument) {
  const std::string help = readFile(dataFile("marlotx_help.txt"));
  ASSERT_FALSE(help.empty());
  for (const char *arg : {"-h", "-?", "--help"}) {
    const TxRun run = tx({arg});
    EXPECT_EQ(run.parse.action, TxAction::exit) << arg;
    EXPECT_EQ(run.parse.status, 0) << arg;
    EXPECT_EQ(run.out, help) << arg;
  }
  const char *error = "Error -- invalid option. For help, type \"prog --help\" or -? \n";
  expectTxError(tx({"-h", "-n", "1"}), error);
  expectTxError(tx({"-n", "1", "--help"}), error);
  expectTxError(tx({"-Q"}), error);  // getopt_long reports unknown options as '?'
  expectTxError(tx({"--nosuch", "x"}), error);
  expectTxError(tx({"-n"}), error);  // a missing argument, too
}

TEST(TxOptions, LeftoverArgumentsAreAnError) {
  expectTxError(tx({"-n", "1", "extra"}),
                "Error -- invalid option elements optind-->3 argc-->4 \n");
  // getopt_long moves the leftovers behind the options.
  expectTxError(tx({"extra", "more", "-n", "1"}),
                "Error -- invalid option elements optind-->3 argc-->5 \n");
}

TEST(TxOptions, HelpTextIsFilledToColumn71) {
  EXPECT_EQ(txHelpText(), readFile(dataFile("marlotx_help.txt")));
}

TEST(TxOptions, Banner) {
  Printed printed;
  printTxBanner(printed.file(), "\nlib v1\n");
  EXPECT_EQ(printed.text(), "marlotx v4.0w Jul 17 2008 \n(\nlib v1\n)\n");
}

// ---- marlorx -------------------------------------------------------------------------------

TEST(RxOptions, DefaultsListenOn11000WithEveryGroup) {
  const RxRun run = rx({});
  EXPECT_EQ(run.parse.action, RxAction::run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.settings.count, -1);
  EXPECT_EQ(run.settings.listenPort, 11000);
  EXPECT_EQ(run.settings.rawPort, -1);
  EXPECT_TRUE(run.settings.saveFile.empty());
  EXPECT_TRUE(run.settings.enableCore && run.settings.enableComment &&
              run.settings.enableCommercial && run.settings.enableUfid);
}

TEST(RxOptions, CountAndPort) {
  EXPECT_EQ(rx({"-n", "2"}).settings.count, 2);
  EXPECT_EQ(rx({"--count", "abc"}).settings.count, 0);
  expectRxError(rx({"-n", "-1"}), "Error -- invalid count -1 (< 0)\n");
  EXPECT_EQ(rx({"-n", "4294967296"}).settings.count, INT32_MAX);  // not 0: no early end
  expectRxError(rx({"-n", "-4294967295"}), "Error -- invalid count -4294967295 (< 0)\n");

  EXPECT_EQ(rx({"-p", "1"}).settings.listenPort, 1);
  EXPECT_EQ(rx({"--port", "65535"}).settings.listenPort, 65535);
  for (const char *bad : {"0", "65536", "x", "4294978296", "-4294956296", "4294967297"}) {
    const RxRun run = rx({"-p", "4000", "-p", bad});
    EXPECT_EQ(run.parse.action, RxAction::run);
    EXPECT_EQ(run.settings.listenPort, 11000) << bad;
    EXPECT_EQ(run.out,
              "Error -- invalid port number in --> '" + std::string(bad) + "' using default \n");
  }
}

TEST(RxOptions, ForwardAddress) {
  RxRun run = rx({"-k", "relay.host"});
  EXPECT_EQ(run.settings.rawHost, "relay.host");
  EXPECT_EQ(run.settings.rawPort, 10001);

  run = rx({"--addr", "127.0.0.1:9000"});
  EXPECT_EQ(run.settings.rawHost, "127.0.0.1");
  EXPECT_EQ(run.settings.rawPort, 9000);
  EXPECT_EQ(run.out, "");

  run = rx({"-k", "relay:0"});
  EXPECT_EQ(run.parse.action, RxAction::run);
  EXPECT_EQ(run.settings.rawPort, -1);
  EXPECT_EQ(run.out, "Error -- invalid raw port number in --> 'relay:0' using default \n");

  // Beyond 32 bits the port saturates instead of wrapping to 10001.
  run = rx({"-k", "relay:4294977297"});
  EXPECT_EQ(run.settings.rawPort, -1);
  EXPECT_EQ(run.out, "Error -- invalid raw port number in --> 'relay:4294977297' using default \n");

  // The host whole up to 253 characters, the port in addition; a longer one is an error.
  for (const size_t length : {127, 130, 253}) {
    run = rx({"-k", std::string(length, 'r') + ":9000"});
    EXPECT_EQ(run.settings.rawHost, std::string(length, 'r'));
    EXPECT_EQ(run.settings.rawPort, 9000);
  }
  const std::string tooLong = std::string(300, 'r') + ":9000";
  expectRxError(rx({"-k", tooLong}),
                "Error -- host name longer than 253 characters in --> '" + tooLong + "' \n");
  expectRxError(
      rx({"-k", std::string(254, 'r')}),
      "Error -- host name longer than 253 characters in --> '" + std::string(254, 'r') + "' \n");
}

TEST(RxOptions, SwitchesReadTheirFirstLetter) {
  struct Case {
    const char *option;
    bool RxSettings::*field;
    const char *name;
  };
  const Case cases[] = {
      {"-w", &RxSettings::enableCore, "enableCore"},
      {"-y", &RxSettings::enableComment, "enableComment"},
      {"-z", &RxSettings::enableCommercial, "enableCommercial"},
      {"-b", &RxSettings::enableUfid, "enableUfid"},
  };
  for (const Case &c : cases) {
    EXPECT_FALSE(rx({c.option, "False"}).settings.*c.field) << c.option;
    EXPECT_TRUE(rx({c.option, "f", c.option, "true"}).settings.*c.field) << c.option;
    expectRxError(rx({c.option, "x"}),
                  "Error -- invalid " + std::string(c.name) + " option 'x' (T/F)\n");
  }
  EXPECT_FALSE(rx({"--enableUfid", "F"}).settings.enableUfid);
}

TEST(RxOptions, SaveFileIsKeptWholeUpToThePathLimit) {
  for (const size_t length : {size_t{127}, size_t{128}, size_t{1000}, kPathMax}) {
    const std::string name(length, 's');
    const RxRun run = rx({"-f", name});
    EXPECT_EQ(run.parse.action, RxAction::run) << length;
    EXPECT_EQ(run.settings.saveFile, name) << length;
  }
  const std::string tooLong(kPathMax + 1, 's');
  expectRxError(rx({"--save", tooLong}),
                "Error -- save file name longer than 4095 characters: '" + tooLong + "' \n");
}

TEST(RxOptions, OptionErrors) {
  expectRxError(rx({"-m", "5"}), "Error -- invalid option (use --help or -? for help)\n");
  const char *error = "Error -- invalid option. For help, type \"prog --help\" or -? \n";
  expectRxError(rx({"-h", "-n", "2"}), error);
  expectRxError(rx({"-Q"}), error);
  expectRxError(rx({"-m"}), error);
  expectRxError(rx({"-n", "1", "left", "over"}), "Error -- invalid option elementsleft over \n");
  expectRxError(rx({"left", "-n", "1"}), "Error -- invalid option elementsleft \n");
}

TEST(RxOptions, HelpAndVersion) {
  const std::string usage = readFile(dataFile("marlorx_help.txt"));
  ASSERT_FALSE(usage.empty());
  for (const char *arg : {"-h", "-?", "--help"}) {
    const RxRun run = rx({arg});
    EXPECT_EQ(run.parse.action, RxAction::exit) << arg;
    EXPECT_EQ(run.parse.status, 0) << arg;
    EXPECT_EQ(run.out, usage) << arg;
  }
  EXPECT_EQ(rx({"-v"}).parse.action, RxAction::version);
  EXPECT_EQ(rx({"--version", "-n", "-1"}).parse.action, RxAction::version);
}

TEST(RxOptions, UsageTextIs32LinesFilledToColumn71) {
  const std::string usage = rxHelpText();
  EXPECT_EQ(usage, readFile(dataFile("marlorx_help.txt")));
  EXPECT_EQ(usage.size(), 32u * 72u);
}

TEST(RxOptions, Banner) {
  Printed printed;
  printRxBanner(printed.file(), "v");
  EXPECT_EQ(printed.text(), "orvorx v2.0w Jul 17 2008 \n(v)\n");
}

}  // namespace
