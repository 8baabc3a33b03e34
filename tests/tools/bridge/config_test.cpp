// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's configuration file: what a minimal file leaves at its defaults, the address and
// table forms it accepts, the sample shipped as documentation, and a table of broken files,
// each refused with the place of the fault as "file:line:column:".
#include "config.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/temp_folder.hpp"

namespace {

using marlod::Config;
using marlod::ConfigError;

// Lines 1 to 4 of most files below: the two things that have no default.
constexpr const char *kBase =
    "[station]\n"
    "name = \"Radio Zel\"\n"
    "[[exciter]]\n"
    "host = \"127.0.0.1\"\n";

class ConfigTest : public zel::test::TempFolderTest {
 protected:
  std::string file(const std::string &text) {
    std::string p = path("marlod.toml");
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  Config load(const std::string &text) { return marlod::load_config(file(text)); }
  // The message of the refusal, or "" when the file loads.
  std::string error(const std::string &text) {
    try {
      load(text);
    } catch (const ConfigError &e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(ConfigTest, MinimalFileKeepsEveryDefault) {
  Config c = load(kBase);
  EXPECT_EQ(c.station, "Radio Zel");
  ASSERT_EQ(c.exciters.size(), 1u);
  EXPECT_EQ(c.exciters[0].host, "127.0.0.1");
  EXPECT_EQ(c.exciters[0].port, 11000);
  EXPECT_EQ(c.exciters[0].packet, marlod::PacketKind::two_layer);
  EXPECT_EQ(c.exciters[0].encoding, marlod::Encoding::automatic);
  EXPECT_EQ(c.exciters[0].delay_ms, 0);
  EXPECT_TRUE(c.json.udp.empty() && c.json.tcp.empty() && !c.json.stdin_lines);
  EXPECT_FALSE(c.rivendell.enabled);
  EXPECT_TRUE(c.file.path.empty());
  EXPECT_EQ(c.fallback.title, "{station}");
  EXPECT_FALSE(c.flush_first);
  EXPECT_FALSE(c.limits.title || c.limits.artist || c.limits.comment);
  EXPECT_TRUE(c.http.listen.empty());
  EXPECT_EQ(c.path, path("marlod.toml"));
}

TEST_F(ConfigTest, EveryKeyIsRead) {
  Config c = load(std::string(kBase) +
                  "port = 11001\npacket = \"cl\"\nencoding = \"latin1\"\ndelay_ms = 1500\n"
                  "[[exciter]]\nhost = \"[2001:db8::7]\"\nencoding = \"utf8\"\n"
                  "[input.json]\nudp = \"5000\"\ntcp = \"0.0.0.0:5001\"\nstdin = true\n"
                  "[input.rivendell]\nhost = \"rd.example\"\nport = 34290\nmachines = [1, 101]\n"
                  "onair_only = false\n"
                  "[input.file]\npath = \"/run/np.txt\"\nformat = \"text\"\n"
                  "pattern = '{title} / {artist}'\n"
                  "[timing]\nrefresh = 4\ngrace = 0.5\nmax_age = 600\nsilence = 120\n"
                  "min_duration = 30\n"
                  "[template]\ntitle = '{artist}[ - {title}]'\ncomment = '\\[live\\] {station}'\n"
                  "[limits]\ntitle = 64\ncomment = 4\n"
                  "[filter]\nskip_groups = [\"JINGLES\", \"SWEEPERS\"]\n"
                  "[ufid]\nowner = \"https://radio.example/\"\n"
                  "[state]\npath = \"/tmp/marlod.json\"\n"
                  "[http]\nlisten = \"[::1]:8080\"\nsecret = \"s3cret!\"\n");
  ASSERT_EQ(c.exciters.size(), 2u);
  EXPECT_EQ(c.exciters[0].port, 11001);
  EXPECT_EQ(c.exciters[0].packet, marlod::PacketKind::cl);
  EXPECT_EQ(c.exciters[0].encoding, marlod::Encoding::latin1);
  EXPECT_EQ(c.exciters[0].delay_ms, 1500);
  EXPECT_EQ(c.exciters[1].host, "2001:db8::7");  // brackets dropped for the resolver
  EXPECT_EQ(c.exciters[1].encoding, marlod::Encoding::utf8);
  EXPECT_EQ(c.json.udp, "127.0.0.1:5000");
  EXPECT_EQ(c.json.tcp, "0.0.0.0:5001");
  EXPECT_TRUE(c.json.stdin_lines);
  EXPECT_TRUE(c.rivendell.enabled);
  EXPECT_EQ(c.rivendell.host, "rd.example");
  EXPECT_EQ(c.rivendell.port, 34290);
  EXPECT_EQ(c.rivendell.machines, (std::vector<int>{1, 101}));
  EXPECT_FALSE(c.rivendell.onair_only);
  EXPECT_EQ(c.file.path, "/run/np.txt");
  EXPECT_EQ(c.file.format, marlod::FileFormat::text);
  EXPECT_EQ(c.file.pattern, "{title} / {artist}");
  EXPECT_EQ(c.timing.refresh, 4);
  EXPECT_EQ(c.timing.grace, 0.5);
  EXPECT_EQ(c.timing.max_age, 600);
  EXPECT_EQ(c.timing.silence, 120);
  EXPECT_EQ(c.timing.min_duration, 30);
  EXPECT_EQ(c.templ.title, "{artist}[ - {title}]");
  EXPECT_EQ(c.templ.artist, "{artist}");  // untouched fields keep their default
  EXPECT_EQ(c.templ.comment, "\\[live\\] {station}");
  EXPECT_EQ(c.limits.title, 64u);
  EXPECT_EQ(c.limits.comment, 4u);
  EXPECT_FALSE(c.limits.artist);
  EXPECT_EQ(c.skip_groups, (std::vector<std::string>{"JINGLES", "SWEEPERS"}));
  EXPECT_EQ(c.ufid_owner, "https://radio.example/");
  EXPECT_EQ(c.state_path, "/tmp/marlod.json");
  EXPECT_EQ(c.http.listen, "[::1]:8080");
  EXPECT_EQ(c.http.secret, "s3cret!");
}

// Listening addresses come back as ADDRESS:PORT; a port alone means loopback.
TEST_F(ConfigTest, ListenAddressForms) {
  struct Case {
    const char *written, *read, *host;
    uint16_t port;
  };
  const Case cases[] = {
      {"5000", "127.0.0.1:5000", "127.0.0.1", 5000},
      {":5000", "127.0.0.1:5000", "127.0.0.1", 5000},
      {"0.0.0.0:5000", "0.0.0.0:5000", "0.0.0.0", 5000},
      {"[::]:5000", "[::]:5000", "::", 5000},
      {"[::1]:1", "[::1]:1", "::1", 1},
      {"localhost:65535", "localhost:65535", "localhost", 65535},
      {"studio-3.lan:05000", "studio-3.lan:5000", "studio-3.lan", 5000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.written);
    Config config = load(std::string(kBase) + "[input.json]\nudp = \"" + c.written + "\"\n");
    EXPECT_EQ(config.json.udp, c.read);
    marlod::HostPort split = marlod::split_listen(config.json.udp);
    EXPECT_EQ(split.host, c.host);
    EXPECT_EQ(split.port, c.port);
  }
  EXPECT_EQ(load(std::string(kBase) + "[input.json]\nudp = \"\"\n").json.udp, "");
}

// Without [fallback] the station's name goes on air; with one, the fields it gives replace that.
TEST_F(ConfigTest, FallbackTable) {
  EXPECT_EQ(load(std::string(kBase) + "[input.rivendell]\n").fallback.title, "{station}");

  Config flush = load(std::string(kBase) + "[fallback]\nflush_first = true\n");
  EXPECT_TRUE(flush.flush_first);
  EXPECT_EQ(flush.fallback.title, "{station}");

  Config own = load(std::string(kBase) + "[fallback]\nartist = \"{station}\"\n");
  EXPECT_EQ(own.fallback.title, "");
  EXPECT_EQ(own.fallback.artist, "{station}");

  Config none = load(std::string(kBase) + "[fallback]\ntitle = \"\"\n");
  EXPECT_EQ(none.fallback.title, "");
}

TEST_F(ConfigTest, RivendellTableSwitchesTheFeedOn) {
  Config c = load(std::string(kBase) + "[input.rivendell]\n");
  EXPECT_TRUE(c.rivendell.enabled);
  EXPECT_EQ(c.rivendell.host, "127.0.0.1");
  EXPECT_EQ(c.rivendell.port, 34289);
  EXPECT_EQ(c.rivendell.machines, std::vector<int>{1});
  EXPECT_TRUE(c.rivendell.onair_only);
}

// The sample installed as documentation is a working quick start.
TEST_F(ConfigTest, SampleFileLoads) {
  Config c = marlod::load_config(MARLOD_SAMPLE_CONFIG);
  ASSERT_EQ(c.exciters.size(), 1u);
  EXPECT_EQ(c.exciters[0].host, "127.0.0.1");
  EXPECT_EQ(c.exciters[0].port, 11000);
  EXPECT_EQ(c.json.udp, "127.0.0.1:5000");
  EXPECT_FALSE(c.rivendell.enabled);
  EXPECT_TRUE(c.file.path.empty());
  EXPECT_TRUE(c.http.listen.empty());
}

TEST_F(ConfigTest, UnreadableFile) {
  std::string missing = path("none.toml");
  try {
    marlod::load_config(missing);
    FAIL() << "loaded a missing file";
  } catch (const ConfigError &e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot be read: No such file or directory");
  }
  EXPECT_THROW(marlod::load_config(dir_.string()), ConfigError);
}

struct Bad {
  std::string text;  // appended to kBase unless it starts with '!'
  const char *where;
  const char *what;
};

TEST_F(ConfigTest, BrokenFilesAreRefusedWithTheirPlace) {
  const Bad cases[] = {
      // TOML itself
      {"[timing\n", "5:8", "expected ']'"},
      {"[timing]\nrefresh = 1\nrefresh = 2\n", "7:", "cannot redefine"},
      // Sections and keys that do not exist are typos.
      {"[timming]\nrefresh = 5\n", "5:2", "unknown key \"timming\" at the top level"},
      {"[timing]\nrefesh = 5\n", "6:1", "unknown key \"refesh\" in [timing]"},
      {"prot = 11000\n", "5:1", "unknown key \"prot\" in [[exciter]]"},
      {"[input.udp]\n", "5:8", "unknown key \"udp\" in [input]"},
      {"!input = 5\n[station]\nname = \"R\"\n[[exciter]]\nhost = \"a\"\n", "1:9",
       "input must be a table ([input]), not an integer"},
      // [station] and [[exciter]]
      {"![[exciter]]\nhost = \"a\"\n", "1:1", "[station] is missing"},
      {"![station]\n[[exciter]]\nhost = \"a\"\n", "1:1", "station.name is missing"},
      {"![station]\nname = \" \"\n[[exciter]]\nhost = \"a\"\n", "2:8", "must not be empty"},
      {"![station]\nname = 5\n[[exciter]]\nhost = \"a\"\n", "2:8",
       "station.name must be a string, not an integer"},
      {"!station = \"R\"\n[[exciter]]\nhost = \"a\"\n", "1:11", "station must be a table"},
      {"![station]\nname = \"R\"\n", "1:1", "at least one is needed"},
      {"!exciter = []\n[station]\nname = \"R\"\n", "1:11", "at least one is needed"},
      {"![station]\nname = \"R\"\n[exciter]\nhost = \"a\"\n", "3:1",
       "write each one as [[exciter]]"},
      {"![station]\nname = \"R\"\n[[exciter]]\nport = 1\n", "3:1", "exciter.host is missing"},
      {"![station]\nname = \"R\"\n[[exciter]]\nhost = \"\"\n", "4:8", "must not be empty"},
      {"![station]\nname = \"R\"\n[[exciter]]\nhost = \"10.0.0.1:11000\"\n", "4:8",
       "takes no port"},
      {"![station]\nname = \"R\"\n[[exciter]]\nhost = \"tx one\"\n", "4:8",
       "neither a host name nor an IP address"},
      {"port = 0\n", "5:8", "exciter.port must be from 1 to 65535, not 0"},
      {"port = 65536\n", "5:8", "from 1 to 65535, not 65536"},
      {"port = 11000.0\n", "5:8", "must be an integer from 1 to 65535, not a floating-point"},
      {"delay_ms = -1\n", "5:12", "from 0 to 60000"},
      {"delay_ms = 60001\n", "5:12", "from 0 to 60000"},
      {"packet = \"two_layer\"\n", "5:10",
       "must be one of \"two-layer\", \"cl\", not \"two_layer\""},
      {"encoding = \"latin-1\"\n", "5:12", "\"latin1\", \"utf16\", \"utf8\", \"auto\""},
      {"[[exciter]]\nhost = \"127.0.0.1\"\nport = 11000\n", "5:1", "is listed twice"},
      // inputs
      {"[input.json]\nudp = \"::1:5000\"\n", "6:7", "needs brackets around its IPv6 address"},
      {"[input.json]\nudp = \"[::1]\"\n", "6:7", "has no port"},
      {"[input.json]\nudp = \"localhost\"\n", "6:7", "has no port number"},
      {"[input.json]\ntcp = \"0\"\n", "6:7", "outside 1 to 65535"},
      {"[input.json]\ntcp = \"127.0.0.1:65536\"\n", "6:7", "outside 1 to 65535"},
      {"[input.json]\ntcp = \"127.0.0.1:-1\"\n", "6:7", "has no port number"},
      {"[input.json]\ntcp = \"bad host:5000\"\n", "6:7", "neither a host name"},
      {"[input.json]\nudp = 5000\n", "6:7", "input.json.udp must be a string, not an integer"},
      {"[input.json]\nstdin = \"yes\"\n", "6:9", "must be true or false, not a string"},
      {"[input.rivendell]\nmachines = 1\n", "6:12", "must be a list of log machines"},
      {"[input.rivendell]\nmachines = []\n", "6:12", "at least one"},
      {"[input.rivendell]\nmachines = [1, 4]\n", "6:16", "4 is no log machine"},
      {"[input.rivendell]\nmachines = [0]\n", "6:13", "from 1 to 120, not 0"},
      {"[input.rivendell]\nmachines = [2, 2]\n", "6:16", "2 is listed twice"},
      {"[input.rivendell]\nport = 0\n", "6:8", "from 1 to 65535"},
      {"[input.rivendell]\nonair_only = 1\n", "6:14", "true or false"},
      {"[input.file]\nformat = \"text\"\n", "5:1", "input.file.path is missing"},
      {"[input.file]\npath = \"\"\n", "6:8", "must not be empty"},
      {"[input.file]\npath = \"/run/np/\"\n", "6:8", "names a directory"},
      {"[input.file]\npath = \"/run/np\"\nformat = \"xml\"\n", "7:10", "\"json\", \"text\""},
      {"[input.file]\npath = \"/run/np\"\npattern = \"{artist} - {title\"\n", "7:11",
       "input.file.pattern: '{' at character 12 is not closed"},
      {"[input.file]\npath = \"/run/np\"\npattern = \"now playing\"\n", "7:11", "no {key} in it"},
      {"[input.file]\npath = \"/run/np\"\npattern = \"{station}: {title}\"\n", "7:11",
       "unknown key {station}"},
      // timing
      {"[timing]\nrefresh = \"10\"\n", "6:11", "timing.refresh must be a number of seconds"},
      {"[timing]\nrefresh = 0.05\n", "6:11", "at least 0.1 seconds, not 0.05"},
      {"[timing]\nmax_age = 0\n", "6:11", "more than 0 seconds"},
      {"[timing]\ngrace = -1\n", "6:9", "at least 0 seconds, not -1"},
      {"[timing]\nsilence = inf\n", "6:11", "at most 86400 seconds"},
      {"[timing]\nsilence = nan\n", "6:11", "at most 86400 seconds"},
      {"[timing]\nmin_duration = 86401\n", "6:16", "at most 86400 seconds"},
      {"[timing]\nrefresh = 1979-05-27\n", "6:11", "not a date"},
      // templates
      {"[template]\ntitle = \"{title\"\n", "6:9",
       "template.title: '{' at character 1 is not closed"},
      {"[template]\ntitle = \"{title}}\"\n", "6:9", "'}' at character 8 without '{'"},
      {"[template]\nartist = \"{artist}[ - {album}\"\n", "6:10",
       "'[' at character 9 is not closed"},
      {"[template]\nalbum = \"{album}]\"\n", "6:9", "']' at character 8 without '['"},
      {"[template]\ntitle = \"{tilte}\"\n", "6:9", "unknown key {tilte}"},
      {"[template]\ntitle = \"{}\"\n", "6:9", "empty {}"},
      {"[template]\ntitle = \"{ti[tle}\"\n", "6:9", "'{' at character 1 is not closed"},
      {"[template]\ntitle = \"[a[{title}]]\"\n", "6:9", "they do not nest"},
      {"[template]\ntitle = '\\n{title}'\n", "6:9", "escapes only"},
      {"[template]\ntitle = '{title}\\'\n", "6:9", "a lone backslash"},
      {"[template]\nsubtitle = \"{title}\"\n", "6:1", "unknown key \"subtitle\" in [template]"},
      {"[fallback]\ntitle = \"{title}\"\n", "6:9", "fallback.title: unknown key {title}"},
      {"[fallback]\nflush_first = \"yes\"\n", "6:15", "true or false"},
      {"[limits]\ntitle = 3\n", "6:9", "limits.title must be from 4 to 1024, not 3"},
      {"[limits]\ncomment = 1025\n", "6:11", "from 4 to 1024"},
      // the rest
      {"[filter]\nskip_groups = \"JINGLES\"\n", "6:15", "must be a list of group names"},
      {"[filter]\nskip_groups = [\"JINGLES\", \"\"]\n", "6:27", "must not be empty"},
      {"[filter]\nskip_groups = [\"JINGLES\", 5]\n", "6:27", "must be a string"},
      {"[ufid]\nowner = \"radio.éxample\"\n", "6:9", "printable ASCII"},
      {"[ufid]\nowner = \"" + std::string(129, 'x') + "\"\n", "6:9", "at most 128 characters"},
      {"[state]\npath = \"/var/lib/marlod/\"\n", "6:8", "names a directory"},
      {"[input.json]\ntcp = \"8080\"\n[http]\nlisten = \":8080\"\n", "8:10",
       "address of input.json.tcp already"},
      {"[http]\nsecret = \"two words\"\n", "6:10", "printable ASCII without spaces"},
      {"[http]\nlisten = \"[fe80::1\"\n", "6:10", "has no ']'"},
  };
  for (const Bad &bad : cases) {
    std::string text = bad.text[0] == '!' ? bad.text.substr(1) : kBase + bad.text;
    SCOPED_TRACE(text);
    std::string message = error(text);
    std::string prefix = path("marlod.toml") + ":" + bad.where;
    EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
    EXPECT_NE(message.find(bad.what), std::string::npos) << message;
  }
}

}  // namespace
