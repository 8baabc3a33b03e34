// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's input parsing: JSON items, text lines, PAD feed documents and the framing of
// streams, with the feed fixture as it arrives.
#include "parse.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace marlod {
namespace {

using namespace std::string_literals;
using Text = std::map<std::string, std::string, std::less<>>;
const std::string kFffd = "\xEF\xBF\xBD";

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string fixture() { return read_file(BRIDGE_TEST_DATA "/pad_feed.txt"); }

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80   ? 1
                          : b < 0xC2 ? 0
                          : b < 0xE0 ? 2
                          : b < 0xF0 ? 3
                          : b < 0xF5 ? 4
                                     : 0;
    if (n == 0 || i + n > s.size()) return false;
    unsigned cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

// What every answer keeps to, whatever the input: one line of reason, valid text.
void expect_well_formed(const Parsed &p, const std::string &input) {
  SCOPED_TRACE(input.substr(0, 80));
  if (p.status == Parsed::ok) {
    EXPECT_TRUE(p.why.empty());
    for (const auto &[key, value] : p.item.text) {
      EXPECT_FALSE(value.empty()) << key;
      EXPECT_TRUE(valid_utf8(value)) << key;
      EXPECT_EQ(value.find('\0'), std::string::npos) << key;
    }
    if (p.item.duration) {
      EXPECT_GT(*p.item.duration, 0);
      EXPECT_LE(*p.item.duration, 86400);
    }
  } else {
    EXPECT_FALSE(p.why.empty());
    EXPECT_LE(p.why.size(), 210u) << p.why;
    EXPECT_EQ(p.why.find_first_of("\r\n"), std::string::npos) << p.why;
    EXPECT_TRUE(valid_utf8(p.why)) << p.why;
  }
}

// ---- JSON items ------------------------------------------------------------------------------

struct ItemCase {
  std::string json;
  Text text;
  std::optional<double> duration;
};

TEST(JsonItem, KeysAreTakenAsGiven) {
  const ItemCase cases[] = {
      {R"({"title":"Song","artist":"Band","album":"LP","genre":"Jazz","comment_title":"ct",
           "comment":"c","id":"x1","isrc":"XXA012600001","group":"MUSIC"})",
       {{"title", "Song"},
        {"artist", "Band"},
        {"album", "LP"},
        {"genre", "Jazz"},
        {"comment_title", "ct"},
        {"comment", "c"},
        {"id", "x1"},
        {"isrc", "XXA012600001"},
        {"group", "MUSIC"}},
       std::nullopt},
      // Unknown keys, nested or not, are ignored; the last of a repeated key wins.
      {R"({"title":"A","extra":{"deep":[1,2,{"x":null}]},"Title":"no","title":"B"})",
       {{"title", "B"}},
       std::nullopt},
      // Durations: whole, fractional, as text with blanks, the bounds.
      {R"({"title":"T","duration":214})", {{"title", "T"}}, 214},
      {R"({"title":"T","duration":214.3})", {{"title", "T"}}, 214.3},
      {R"({"title":"T","duration":" 6.25 "})", {{"title", "T"}}, 6.25},
      {R"({"title":"T","duration":"1e2"})", {{"title", "T"}}, 100},
      {R"({"title":"T","duration":86400})", {{"title", "T"}}, 86400},
      {R"({"title":"T","duration":0.001})", {{"title", "T"}}, 0.001},
      // Unknown duration and absent values.
      {R"({"title":"T","duration":""})", {{"title", "T"}}, std::nullopt},
      {R"({"title":"T","duration":null,"album":null})", {{"title", "T"}}, std::nullopt},
      {R"({"duration":30})", {}, 30},
      // Empty strings are empty: not stored, but an item all the same.
      {R"({"title":"","artist":""})", {}, std::nullopt},
      // id as a whole number: its decimal text.
      {R"({"id":10231})", {{"id", "10231"}}, std::nullopt},
      {R"({"id":-7})", {{"id", "-7"}}, std::nullopt},
      {R"({"id":18446744073709551615})", {{"id", "18446744073709551615"}}, std::nullopt},
      // Escapes, text outside the BMP, NUL removed (the library takes C strings).
      {R"({"title":"Caf\u00e9 \ud83c\udfb5","artist":"a\u0000b\u0000"})",
       {{"title", "Caf\xC3\xA9 \xF0\x9F\x8E\xB5"}, {"artist", "ab"}},
       std::nullopt},
      {R"({"title":"\u0000"})", {}, std::nullopt},
      // Surrounding white space, a byte-order mark and clear:false beside an item.
      {"\xEF\xBB\xBF \r\n{\"title\":\"T\",\"clear\":false}\r\n", {{"title", "T"}}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.json);
    const Parsed p = parse_json_item(c.json);
    ASSERT_EQ(p.status, Parsed::ok) << p.why;
    EXPECT_FALSE(p.item.clear);
    EXPECT_FALSE(p.repaired);
    EXPECT_EQ(p.item.text, c.text);
    EXPECT_EQ(p.item.duration, c.duration);
    EXPECT_TRUE(p.item.start.empty());
    expect_well_formed(p, c.json);
  }
}

TEST(JsonItem, ClearEndsTheItemWhateverElseItHolds) {
  for (const char *json : {R"({"clear":true})", R"({"clear":true,"title":"T","duration":5})",
                           R"({"title":null,"clear":true})"}) {
    SCOPED_TRACE(json);
    const Parsed p = parse_json_item(json);
    ASSERT_EQ(p.status, Parsed::ok) << p.why;
    EXPECT_TRUE(p.item.clear);
    EXPECT_TRUE(p.item.text.empty());
    EXPECT_FALSE(p.item.duration);
  }
  // A wrong type beside it is still wrong.
  EXPECT_EQ(parse_json_item(R"({"clear":true,"title":5})").status, Parsed::invalid);
}

TEST(JsonItem, NothingToDoIsIgnored) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"clear":false})", "clear is false"},
      {R"({"clear":null})", "no item key"},
      {"{}", "no item key"},
      {R"({"Title":"x","now":{"title":"y"}})", "no item key"},
      {R"({"title":null,"duration":null})", "no item key"},
      {"", "empty"},
      {" \t\r\n", "empty"},
  };
  for (const auto &[json, why] : cases) {
    SCOPED_TRACE(json);
    const Parsed p = parse_json_item(json);
    EXPECT_EQ(p.status, Parsed::ignored);
    EXPECT_NE(p.why.find(why), std::string::npos) << p.why;
    EXPECT_TRUE(p.item.text.empty());
    expect_well_formed(p, json);
  }
}

TEST(JsonItem, BadInputIsInvalidWithItsReason) {
  const std::pair<std::string, std::string> cases[] = {
      // Not one JSON object.
      {"title=Song", "malformed JSON"},
      {R"({"title":"Song")", "malformed JSON"},
      {R"({"title":"Song"} {"title":"Again"})", "malformed JSON"},
      {R"({"title":"Song"}x)", "malformed JSON"},
      {R"({"title":'Song'})", "malformed JSON"},
      {R"({"title":"Song",})", "malformed JSON"},
      // The parser quotes what it read: here the first byte of a character outside a string.
      {"{\"title\":\xC3\xA9}", "malformed JSON"},
      {"[\xFF]", "malformed JSON"},
      {R"({"duration":NaN})", "malformed JSON"},
      {R"({"duration":Infinity})", "malformed JSON"},
      {R"({"title":"\ud800"})", "malformed JSON"},  // a lone surrogate
      {"{\"title\":\"a\nb\"}", "malformed JSON"},   // a raw line feed in a string
      {"[1,2]", "expected a JSON object, got an array"},
      {R"("title")", "expected a JSON object, got a string"},
      {"42", "expected a JSON object, got a number"},
      {"null", "expected a JSON object, got null"},
      // Wrong types.
      {R"({"title":5})", "title: expected a string, got a number"},
      {R"({"artist":true})", "artist: expected a string, got a boolean"},
      {R"({"album":["a"]})", "album: expected a string, got an array"},
      {R"({"isrc":{"x":1}})", "isrc: expected a string, got an object"},
      {R"({"group":1})", "group: expected a string, got a number"},
      {R"({"id":1.5})", "id: expected a string or a whole number, got a number"},
      {R"({"id":1e400})", "malformed JSON"},
      {R"({"duration":true})", "duration: expected a number of seconds, got a boolean"},
      {R"({"duration":[1]})", "duration: expected a number of seconds, got an array"},
      {R"({"clear":1})", "clear: expected true or false, got a number"},
      {R"({"clear":"true"})", "clear: expected true or false, got a string"},
      // Numbers out of range or not numbers.
      {R"({"duration":0})", "duration: 0 is out of range (0 < d <= 86400)"},
      {R"({"duration":-3})", "duration: -3 is out of range (0 < d <= 86400)"},
      {R"({"duration":86400.5})", "duration: 86400.5 is out of range"},
      {R"({"duration":1e300})", "duration: 1e+300 is out of range"},
      {R"({"duration":1e400})", "malformed JSON"},
      {R"({"duration":123456789012345678901234567890})", "is out of range"},
      {R"({"duration":"0"})", R"(duration: "0" is out of range)"},
      {R"({"duration":"1e999"})", R"(duration: "1e999" is out of range)"},
      {R"({"duration":"nan"})", R"(duration: "nan" is out of range)"},
      {R"({"duration":"inf"})", R"(duration: "inf" is out of range)"},
      {R"({"duration":"3:34"})", R"(duration: "3:34" is not a number)"},
      {R"({"duration":"0x10"})", R"(duration: "0x10" is not a number)"},
      {R"({"duration":"+5"})", R"(duration: "+5" is not a number)"},
      {R"({"duration":"five"})", R"(duration: "five" is not a number)"},
  };
  for (const auto &[json, why] : cases) {
    SCOPED_TRACE(json);
    const Parsed p = parse_json_item(json);
    EXPECT_EQ(p.status, Parsed::invalid);
    EXPECT_NE(p.why.find(why), std::string::npos) << p.why;
    expect_well_formed(p, json);
  }
}

TEST(JsonItem, ReasonsStayOneShortLine) {
  // Long values and long malformed tokens (the parser quotes what it read) are cut.
  const std::string long_text(70000, 'x');
  for (const std::string &json :
       {R"({"duration":")" + long_text + R"("})", R"({"title":")" + long_text,
        R"({"title":)" + long_text + "}", "{\"duration\":\"\\n\\r" + long_text + "\"}",
        R"({"duration":1)" + std::string(5000, '0') + "e99999}"}) {
    const Parsed p = parse_json_item(json);
    EXPECT_EQ(p.status, Parsed::invalid);
    expect_well_formed(p, json);
  }
}

TEST(JsonItem, NestingIsLimited) {
  const auto nested = [](int depth) {
    std::string s = R"({"title":"T","x":)";
    for (int i = 1; i < depth; ++i) s += "[";
    for (int i = 1; i < depth; ++i) s += "]";
    return s + "}";
  };
  EXPECT_EQ(parse_json_item(nested(32)).status, Parsed::ok);
  const Parsed deep = parse_json_item(nested(33));
  EXPECT_EQ(deep.status, Parsed::invalid);
  EXPECT_NE(deep.why.find("nested deeper than 32"), std::string::npos) << deep.why;
  // An attack on the stack and the memory: a few hundred thousand levels, closed or not.
  for (const std::string &s :
       {std::string(300000, '['), std::string(200000, '[') + std::string(200000, ']'),
        std::string(100000, '{') + "\"a\":"}) {
    EXPECT_EQ(parse_json_item(s).status, Parsed::invalid);
  }
}

TEST(JsonItem, InvalidUtf8IsReplacedBeforeParsing) {
  // Each maximal ill-formed subpart becomes one U+FFFD (Unicode's recommended practice).
  const std::pair<std::string, std::string> cases[] = {
      {"Caf\xE9", "Caf" + kFffd},  // Latin-1
      {"a\xF0\x9F\x8E"
       "b",
       "a" + kFffd + "b"},                                  // cut 4-byte sequence
      {"\xC0\xAF", kFffd + kFffd},                          // overlong
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {"\xE2\x82", kFffd},                                  // cut at the end
      {"\xFF\xFE", kFffd + kFffd},                          // never in UTF-8
      {"ok \xE2\x82\xAC", "ok \xE2\x82\xAC"},               // valid: untouched
  };
  for (const auto &[raw, fixed] : cases) {
    SCOPED_TRACE(raw);
    const Parsed p = parse_json_item(R"({"title":")" + raw + R"("})");
    ASSERT_EQ(p.status, Parsed::ok) << p.why;
    EXPECT_EQ(p.item.get("title"), fixed);
    EXPECT_EQ(p.repaired, fixed != raw);
  }
  // Also where it breaks the JSON: then invalid, and still said to be repaired.
  const Parsed p = parse_json_item("{\"title\":\"x\"\xFF}");
  EXPECT_EQ(p.status, Parsed::invalid);
  EXPECT_TRUE(p.repaired);
  expect_well_formed(p, "");
}

// ---- text lines ------------------------------------------------------------------------------

TEST(TextLine, PatternsSeparateKeysByTheirLiterals) {
  struct Case {
    std::string pattern, line;
    Text text;
    std::optional<double> duration;
  };
  const Case cases[] = {
      {"{artist} - {title}", "Band - Song\r\n", {{"artist", "Band"}, {"title", "Song"}}, {}},
      {"{artist} - {title}", "Band - Song\n", {{"artist", "Band"}, {"title", "Song"}}, {}},
      {"{artist} - {title}", "Band - Song", {{"artist", "Band"}, {"title", "Song"}}, {}},
      // The first occurrence separates; the rest belongs to the last key.
      {"{artist} - {title}", "A - B - C", {{"artist", "A"}, {"title", "B - C"}}, {}},
      // Values are trimmed; an empty one is just empty.
      {"{artist} - {title}", "  Band   -  Song  ", {{"artist", "Band"}, {"title", "Song"}}, {}},
      {"{artist} - {title}", " - Song", {{"title", "Song"}}, {}},
      // Literals before and after, several keys, duration, escapes.
      {"NOW: {title} by {artist} [{album}] ({duration}s)",
       "NOW: Song by Band [LP] (214.5s)",
       {{"title", "Song"}, {"artist", "Band"}, {"album", "LP"}},
       214.5},
      {"{title}|{artist}|{id}|{isrc}|{group}",
       "S|A|42|XX1|MUSIC",
       {{"title", "S"}, {"artist", "A"}, {"id", "42"}, {"isrc", "XX1"}, {"group", "MUSIC"}},
       {}},
      {"\\{{title}\\}", "{Song}", {{"title", "Song"}}, {}},
      {"{title}\\\\{artist}", "S\\A", {{"title", "S"}, {"artist", "A"}}, {}},
      {"{title}", "Just a title", {{"title", "Just a title"}}, {}},
      {"{title} ({duration})", "Song ()", {{"title", "Song"}}, {}},
      // A byte-order mark at the start of the file; NUL in the line.
      {"{artist} - {title}",
       "\xEF\xBB\xBF"
       "Band - Song",
       {{"artist", "Band"}, {"title", "Song"}},
       {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern + " <- " + c.line);
    const Parsed p = parse_text_line(c.line, c.pattern);
    ASSERT_EQ(p.status, Parsed::ok) << p.why;
    EXPECT_EQ(p.item.text, c.text);
    EXPECT_EQ(p.item.duration, c.duration);
    EXPECT_FALSE(p.repaired);
  }
  const Parsed nul = parse_text_line("Ba\0nd - Song"s, "{artist} - {title}");
  EXPECT_EQ(nul.item.get("artist"), "Band");
}

TEST(TextLine, LinesThatDoNotMatchAndBadPatterns) {
  struct Case {
    std::string pattern, line;
    Parsed::Status status;
    std::string why;
  };
  const Case cases[] = {
      {"{artist} - {title}", "Band-Song", Parsed::invalid, "does not match the pattern"},
      {"NOW: {title}", "Song", Parsed::invalid, "does not match"},
      {"{title} (live)", "Song", Parsed::invalid, "does not match"},
      {"[{title}]", "[]x", Parsed::invalid, "does not match"},
      {"ab{title}ba", "aba", Parsed::invalid, "does not match"},  // literals must not overlap
      {"{title} ({duration})", "Song (long)", Parsed::invalid, "duration: \"long\" is not"},
      {"{title} ({duration})", "Song (0)", Parsed::invalid, "duration: \"0\" is out of range"},
      {"{artist} - {title}", "", Parsed::ignored, "empty line"},
      {"{artist} - {title}", " \t\r\n", Parsed::ignored, "empty line"},
      {"{artist}{title}", "x", Parsed::invalid, "pattern: {artist} and {title} need a literal"},
      {"{artist} - {name}", "x", Parsed::invalid, "pattern: unknown key \"name\""},
      {"{title} - {title}", "x", Parsed::invalid, "pattern: {title} appears twice"},
      {"{title", "x", Parsed::invalid, "pattern: a { without its }"},
      {"{ti\xFFtle}", "x", Parsed::invalid, "pattern: unknown key \"ti\xEF\xBF\xBDtle\""},
      {"just text", "just text", Parsed::invalid, "pattern: no key"},
      {"", "x", Parsed::invalid, "pattern: no key"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.pattern + " <- " + c.line);
    const Parsed p = parse_text_line(c.line, c.pattern);
    EXPECT_EQ(p.status, c.status);
    EXPECT_NE(p.why.find(c.why), std::string::npos) << p.why;
    expect_well_formed(p, c.line);
    if (c.why.starts_with("pattern: ")) {
      EXPECT_EQ(pattern_error(c.pattern), p.why);
    }
  }
  EXPECT_EQ(pattern_error("{artist} - {title}"), "");
}

TEST(TextLine, InvalidUtf8IsReplaced) {
  const Parsed p = parse_text_line("Bj\xF6rk - J\xF3ga\r\n", "{artist} - {title}");
  ASSERT_EQ(p.status, Parsed::ok) << p.why;
  EXPECT_TRUE(p.repaired);
  EXPECT_EQ(p.item.get("artist"), "Bj" + kFffd + "rk");
  EXPECT_EQ(p.item.get("title"), "J" + kFffd + "ga");
}

// ---- the PAD feed ----------------------------------------------------------------------------

// The fixture cut by hand at its empty lines: what the framer must find.
std::vector<std::string> fixture_documents() {
  const std::string feed = fixture();
  std::vector<std::string> docs;
  std::size_t start = 0;
  for (std::size_t sep; (sep = feed.find("\r\n\r\n", start)) != std::string::npos; start = sep + 4)
    docs.push_back(feed.substr(start, sep + 2 - start));
  EXPECT_EQ(start, feed.size());
  return docs;
}

std::vector<std::string> frame(const std::string &bytes, const std::vector<std::size_t> &chunks,
                               PadFramer &framer) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  for (std::size_t i = 0; pos < bytes.size(); ++i) {
    const std::size_t n = chunks.empty() ? bytes.size() : chunks[i % chunks.size()];
    EXPECT_TRUE(framer.feed(std::string_view(bytes).substr(pos, n)));
    pos += n;
    while (auto doc = framer.next()) out.push_back(*doc);
  }
  return out;
}

TEST(PadFramer, FindsTheFixturesDocumentsHoweverTheBytesArrive) {
  const std::string feed = fixture();
  const std::vector<std::string> docs = fixture_documents();
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_TRUE(docs[0].starts_with("{\r\n    \"padUpdate\""));
  EXPECT_TRUE(docs[2].ends_with("}\r\n"));

  std::mt19937 random(19);
  std::vector<std::size_t> random_chunks;
  for (int i = 0; i < 100; ++i) random_chunks.push_back(1 + random() % 300);
  const std::vector<std::vector<std::size_t>> ways = {
      {}, {1}, {2}, {3}, {7}, {1, 1000, 1}, {feed.size() / 3}, random_chunks};
  for (const auto &chunks : ways) {
    PadFramer framer;
    EXPECT_EQ(frame(feed, chunks, framer), docs);
    EXPECT_FALSE(framer.partial());
  }
  // Several feeds at once in one read, LF alone, blank lines before and between.
  std::string lf_only;
  for (char c : feed)
    if (c != '\r') lf_only += c;
  PadFramer framer;
  const auto lf_docs = frame("\r\n\n" + lf_only + " \n\t\r\n" + lf_only, {5}, framer);
  ASSERT_EQ(lf_docs.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    std::string expected;
    for (char c : docs[i % 3])
      if (c != '\r') expected += c;
    EXPECT_EQ(lf_docs[i], expected);
  }
}

TEST(PadFramer, KnowsAnUnfinishedDocumentAndStopsAtItsLimit) {
  const std::string doc = fixture_documents()[0];
  PadFramer framer;
  EXPECT_FALSE(framer.partial());
  EXPECT_TRUE(framer.feed("\r\n"));
  EXPECT_FALSE(framer.partial());  // only a blank line so far
  EXPECT_TRUE(framer.feed("{"));
  EXPECT_TRUE(framer.partial());
  EXPECT_TRUE(framer.feed(doc.substr(1)));
  EXPECT_TRUE(framer.partial());  // the empty line has not come yet
  EXPECT_FALSE(framer.next());
  EXPECT_TRUE(framer.feed("\r\n"));
  EXPECT_FALSE(framer.partial());
  EXPECT_EQ(framer.next(), doc);

  // The limit counts a document's bytes with its line ends: exactly the limit is taken.
  PadFramer exact(doc.size());
  EXPECT_TRUE(exact.feed(doc + "\r\n"));
  EXPECT_EQ(exact.next(), doc);
  // One byte more overflows, whether the bytes come at once or one by one; what was complete
  // before is still handed out, nothing more is taken, and nothing is held.
  for (std::size_t chunk : {std::size_t{100000}, std::size_t{1}}) {
    PadFramer small(doc.size() - 1);
    const std::string bytes = "{\r\n}\r\n\r\n" + doc + "\r\n";
    bool ok = true;
    for (std::size_t pos = 0; pos < bytes.size() && ok; pos += chunk)
      ok = small.feed(std::string_view(bytes).substr(pos, chunk));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(small.overflowed());
    EXPECT_EQ(small.next(), "{\r\n}\r\n");
    EXPECT_FALSE(small.next());
    EXPECT_FALSE(small.feed("{}\r\n\r\n"));
    EXPECT_FALSE(small.next());
    EXPECT_FALSE(small.partial());
  }
  // An endless line with no line end at all overflows too.
  PadFramer endless(1000);
  bool ok = true;
  for (int i = 0; i < 2000 && ok; ++i) ok = endless.feed("x");
  EXPECT_FALSE(ok);
}

TEST(PadDocument, TheFixtureMapsOntoItems) {
  const std::vector<std::string> docs = fixture_documents();
  const RivendellConfig config;  // machine 1, on air only

  const Parsed music = parse_pad_document(docs[0], config);
  ASSERT_EQ(music.status, Parsed::ok) << music.why;
  EXPECT_FALSE(music.item.clear);
  EXPECT_EQ(music.item.text, (Text{{"title", "Quiet Harbour Nocturne"},
                                   {"artist", "The Lantern Trio"},
                                   {"album", "Night Shift"},
                                   {"isrc", "XXA012600001"},
                                   {"group", "MUSIC"},
                                   {"id", "10231"}}));  // songId empty: the cart number
  EXPECT_EQ(music.item.duration, 214.3);
  EXPECT_EQ(music.item.start, "2026-12-10T14:03:07+01:00");
  EXPECT_FALSE(music.repaired);

  const Parsed jingle = parse_pad_document(docs[1], config);
  ASSERT_EQ(jingle.status, Parsed::ok) << jingle.why;
  EXPECT_EQ(jingle.item.text,
            (Text{{"title", "Station ID 3"}, {"group", "JINGLES"}, {"id", "20007"}}));
  EXPECT_EQ(jingle.item.duration, 6.2);
  EXPECT_EQ(jingle.item.start, "2026-12-10T14:06:41+01:00");

  const Parsed end = parse_pad_document(docs[2], config);
  ASSERT_EQ(end.status, Parsed::ok) << end.why;
  EXPECT_TRUE(end.item.clear);
  EXPECT_TRUE(end.item.text.empty());
}

// The first fixture document with a change made to its padUpdate.
std::string pad_with(const std::function<void(nlohmann::json &)> &change) {
  nlohmann::json doc = nlohmann::json::parse(fixture_documents()[0]);
  change(doc["padUpdate"]);
  return doc.dump(4);
}

TEST(PadDocument, MachinesAndOnAir) {
  using nlohmann::json;
  const auto machine = [](int m) { return [m](json &p) { p["machine"] = m; }; };
  const auto on_air = [](json value) { return [value](json &p) { p["onairFlag"] = value; }; };
  struct Case {
    std::string doc;
    std::vector<int> machines;
    bool onair_only;
    Parsed::Status status;
    std::string why;
  };
  const Case cases[] = {
      {pad_with(machine(2)), {1}, true, Parsed::ignored, "log machine 2 is not followed"},
      {pad_with(machine(2)), {1, 2}, true, Parsed::ok, ""},
      {pad_with(machine(1)), {}, true, Parsed::ignored, "(machines: none)"},
      {pad_with(on_air(false)), {1}, true, Parsed::ignored, "log machine 1 is off air"},
      {pad_with(on_air(nullptr)), {1}, true, Parsed::ignored, "off air"},
      {pad_with([](json &p) { p.erase("onairFlag"); }), {1}, true, Parsed::ignored, "off air"},
      {pad_with(on_air(false)), {1}, false, Parsed::ok, ""},
      // Another machine is ignored before its flag or its record is looked at.
      {pad_with([](json &p) { p["machine"] = 3, p["now"] = 5; }),
       {1},
       true,
       Parsed::ignored,
       "not followed"},
      {pad_with(on_air("yes")), {1}, false, Parsed::invalid, "onairFlag: expected true or false"},
      // A number beyond 64 bits signed is no configured machine, however it would wrap.
      {pad_with([](json &p) { p["machine"] = 18446744073709551615ull; }),
       {-1},
       true,
       Parsed::ignored,
       "log machine 18446744073709551615 is not followed"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    RivendellConfig config;
    config.machines = c.machines;
    config.onair_only = c.onair_only;
    const Parsed p = parse_pad_document(c.doc, config);
    EXPECT_EQ(p.status, c.status) << p.why;
    EXPECT_NE(p.why.find(c.why), std::string::npos) << p.why;
    if (p.status == Parsed::ok) {
      EXPECT_EQ(p.item.get("title"), "Quiet Harbour Nocturne");
    }
    expect_well_formed(p, c.doc);
  }
}

TEST(PadDocument, FieldsOfTheNowRecord) {
  using nlohmann::json;
  const auto now = [](const char *key, json value) {
    return [key, value](json &p) { p["now"][key] = value; };
  };
  const RivendellConfig config;
  // songId wins over the cart number; either may be text or a number.
  EXPECT_EQ(parse_pad_document(pad_with(now("songId", "S-77")), config).item.get("id"), "S-77");
  EXPECT_EQ(parse_pad_document(pad_with(now("songId", 77)), config).item.get("id"), "77");
  EXPECT_EQ(parse_pad_document(pad_with(now("songId", nullptr)), config).item.get("id"), "10231");
  EXPECT_EQ(parse_pad_document(pad_with([](json &p) {
                                 p["now"].erase("songId");
                                 p["now"].erase("cartNumber");
                               }),
                               config)
                .item.get("id"),
            "");
  // An unknown length is no duration; null fields are empty.
  for (json length : {json(0), json(nullptr)}) {
    const Parsed p = parse_pad_document(pad_with(now("length", length)), config);
    ASSERT_EQ(p.status, Parsed::ok) << p.why;
    EXPECT_FALSE(p.item.duration);
  }
  const Parsed nulls = parse_pad_document(
      pad_with([](json &p) { p["now"]["title"] = nullptr, p["now"]["startDateTime"] = nullptr; }),
      config);
  ASSERT_EQ(nulls.status, Parsed::ok) << nulls.why;
  EXPECT_EQ(nulls.item.get("title"), "");
  EXPECT_EQ(nulls.item.start, "");
  EXPECT_EQ(parse_pad_document(pad_with(now("length", 86400000)), config).item.duration, 86400);
  // What the bridge does not read may hold anything, as long as it is JSON.
  const Parsed others = parse_pad_document(pad_with([](json &p) {
                                             p["next"] = {{"title", 5}, {"length", "x"}};
                                             p["service"] = json::array({1, {{"now", 2}}});
                                             p["now"]["year"] = json::object();
                                             p["now"]["now"] = {{"title", 5}};
                                           }),
                                           config);
  ASSERT_EQ(others.status, Parsed::ok) << others.why;
  EXPECT_EQ(others.item.get("title"), "Quiet Harbour Nocturne");

  const std::pair<std::string, std::string> bad[] = {
      {pad_with(now("length", -1)), "now.length: -1 is out of range"},
      {pad_with(now("length", 86400001)), "now.length: 86400001 is out of range"},
      {pad_with(now("length", "214300")), "now.length: expected a number"},
      {pad_with(now("title", 5)), "now.title: expected a string, got a number"},
      {pad_with(now("groupName", json::array())), "now.groupName: expected a string"},
      {pad_with(now("cartNumber", 1.5)), "now.cartNumber: expected a string or a whole number"},
      {pad_with(now("startDateTime", 0)), "now.startDateTime: expected a string"},
      {pad_with([](json &p) { p.erase("now"); }), "padUpdate.now: missing"},
      {pad_with([](json &p) { p["now"] = json::array(); }), "padUpdate.now: expected an object"},
      {pad_with([](json &p) { p.erase("machine"); }), "padUpdate.machine: missing"},
      {pad_with([](json &p) { p["machine"] = "1"; }), "padUpdate.machine: expected a log"},
      {pad_with([](json &p) { p["machine"] = 1.0; }), "padUpdate.machine: expected a log"},
      {R"({"padUpdate": null})", "no \"padUpdate\" object"},
      {R"({"title": "x"})", "no \"padUpdate\" object"},
      {"[]", "no \"padUpdate\" object"},
      {fixture_documents()[0].substr(0, 300), "malformed JSON"},
      {fixture_documents()[0] + fixture_documents()[1], "malformed JSON"},
  };
  for (const auto &[doc, why] : bad) {
    SCOPED_TRACE(why);
    const Parsed p = parse_pad_document(doc, config);
    EXPECT_EQ(p.status, Parsed::invalid);
    EXPECT_NE(p.why.find(why), std::string::npos) << p.why;
    expect_well_formed(p, doc);
  }
  // Invalid UTF-8 in a field is replaced and reported.
  std::string doc = fixture_documents()[0];
  doc.replace(doc.find("Quiet"), 5, "Qu\xE9t");
  const Parsed repaired = parse_pad_document(doc, config);
  ASSERT_EQ(repaired.status, Parsed::ok);
  EXPECT_TRUE(repaired.repaired);
  EXPECT_EQ(repaired.item.get("title"), "Qu" + kFffd + "t Harbour Nocturne");
}

// ---- lines of a stream -----------------------------------------------------------------------

std::vector<std::string> split(const std::string &bytes, std::size_t chunk, LineSplitter &s,
                               bool *ok) {
  std::vector<std::string> out;
  *ok = true;
  for (std::size_t pos = 0; pos < bytes.size() && *ok; pos += chunk) {
    *ok = s.feed(std::string_view(bytes).substr(pos, chunk));
    while (auto line = s.next()) out.push_back(*line);
  }
  return out;
}

TEST(LineSplitter, LinesHoweverTheBytesArrive) {
  const std::string bytes =
      "{\"title\":\"a\"}\r\n\r\n\n{\"title\":\"b\"}\nx\ry\r\n\xFF\x00z\nrest\r"s;
  const std::vector<std::string> lines = {"{\"title\":\"a\"}", "{\"title\":\"b\"}", "x\ry",
                                          "\xFF\x00z"s};
  for (std::size_t chunk : {1, 2, 3, 5, 1000}) {
    SCOPED_TRACE(chunk);
    LineSplitter s;
    bool ok;
    EXPECT_EQ(split(bytes, chunk, s, &ok), lines);
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.rest(), "rest");  // its CR dropped: the stream ended there
  }
}

TEST(LineSplitter, ALineOverTheLimitClosesTheStream) {
  const std::size_t limit = 16;
  const std::string full(limit, 'x');
  struct Case {
    std::string bytes;
    bool ok;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {full + "\n", true, {full}},
      {full + "\r\n", true, {full}},  // the CR is not part of the line
      {full + "\r", true, {}},        // ... nor when it has not ended yet
      {full + "x\n", false, {}},
      {full + "\rx\n", false, {}},          // a CR inside counts
      {"a\n" + full + "xy", false, {"a"}},  // unterminated: overflows as soon as it is too long
      {"a\nb\n" + full + full + "\nc\n", false, {"a", "b"}},
  };
  for (const auto &c : cases) {
    for (std::size_t chunk : {1, 7, 1000}) {
      SCOPED_TRACE(c.bytes + " by " + std::to_string(chunk));
      LineSplitter s(limit);
      bool ok;
      EXPECT_EQ(split(c.bytes, chunk, s, &ok), c.lines);
      EXPECT_EQ(ok, c.ok);
      EXPECT_EQ(s.overflowed(), !c.ok);
      if (!c.ok) {
        EXPECT_FALSE(s.feed("ok\n"));  // nothing more is taken
        EXPECT_FALSE(s.next());
        EXPECT_EQ(s.rest(), "");
      }
    }
  }
}

TEST(LineSplitter, TheDefaultLimitIs64KiB) {
  LineSplitter s;
  EXPECT_TRUE(s.feed(std::string(64 * 1024, 'x') + "\n"));
  EXPECT_EQ(s.next()->size(), 64u * 1024);
  EXPECT_FALSE(s.feed(std::string(64 * 1024 + 1, 'x')));
}

}  // namespace
}  // namespace marlod
