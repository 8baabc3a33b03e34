// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's text road: templates, clean-up, transliteration, cuts, and messages that always
// go into one tag.
#include "text.hpp"

#include <gtest/gtest.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/api_text.hpp"

namespace {

using marlod::Config;
using marlod::Encoding;
using marlod::Fitted;
using marlod::Item;
using marlod::Rendered;
using marlod::TextRoad;
using zel::test::own;

Item item_of(std::map<std::string, std::string, std::less<>> text) {
  Item item;
  item.text = std::move(text);
  return item;
}

bool valid_utf8(const std::string &s) {
  const auto *p = reinterpret_cast<const uint8_t *>(s.data());
  const int32_t n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) return false;
  }
  return true;
}

bool within_latin1(const std::string &utf8) {
  const auto *p = reinterpret_cast<const uint8_t *>(utf8.data());
  const int32_t n = static_cast<int32_t>(utf8.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0 || c > 0xFF) return false;
  }
  return true;
}

std::size_t code_points(const std::string &utf8) {
  std::size_t n = 0;
  for (char c : utf8) n += !U8_IS_TRAIL(static_cast<uint8_t>(c));
  return n;
}

std::vector<std::string> six(const marlod::Fields &f) {
  return {f.title, f.artist, f.album, f.genre, f.comment_title, f.comment};
}

class Handle {
 public:
  Handle() { zel_marlo_allocPsdMsg(&msg_); }
  ~Handle() { zel_marlo_deletePsdMsg(msg_); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ZEL_MARLO_PSD_MSG_t *get() const { return msg_; }

 private:
  ZEL_MARLO_PSD_MSG_t *msg_ = nullptr;
};

// ---- Templates --------------------------------------------------------------------------------

TEST(Template, ExpandsKeysOptionalPartsAndEscapes) {
  const Item full = item_of({{"title", "Song"}, {"artist", "Band"}, {"album", "Record"}});
  const Item bare = item_of({{"title", "Song"}, {"artist", "Band"}, {"album", "  \t"}});
  struct Row {
    const char *tmpl;
    const Item &item;
    const char *expected;
  } rows[] = {
      {"{title}", full, "Song"},
      {"{artist}[ - {album}]", full, "Band - Record"},
      {"{artist}[ - {album}]", bare, "Band"},  // white space alone counts as empty
      {"[{genre}: ]{title}", full, "Song"},
      {"[ - ]{title}", full, " - Song"},  // a part without keys always stays
      {"{nosuchkey}|{duration}|{Title}", full, "||"},
      {"[{nosuchkey}x]{title}", full, "Song"},
      {"On {station}: {title}", full, "On Radio One: Song"},
      // Escapes, and a backslash before anything else stays.
      {"\\[live\\] \\{title\\} a\\\\b \\x", full, "[live] {title} a\\b \\x"},
      {"[\\[{album}\\]]", full, "[Record]"},
      // Nested parts: the inner one vanishes alone, the outer one with its own keys.
      {"{artist}[ - {album}[ ({genre})]]", full, "Band - Record"},
      {"{artist}[ - {genre}[ ({album})]]", full, "Band"},
      {"[{title}[ ({genre})]]", full, "Song"},
      // Unbalanced brackets and braces are written as they are.
      {"[{title}", full, "[Song"},
      {"{title}]", full, "Song]"},
      {"{title", full, "{title"},
      {"[a [{title}]", full, "[a Song"},
      {"[{genre}]]x", full, "]x"},
  };
  for (const Row &row : rows)
    EXPECT_EQ(marlod::expand_item(row.tmpl, row.item, "Radio One"), row.expected) << row.tmpl;
}

TEST(Template, ValuesAreInsertedVerbatim) {
  const Item item = item_of({{"title", "{artist} [x] \\["}, {"artist", "A"}});
  EXPECT_EQ(marlod::expand_item("[{title}]", item, ""), "{artist} [x] \\[");
}

TEST(Template, RenderUsesTheDefaultsAndCleansUp) {
  Config config;
  config.station = "Radio One";
  TextRoad road(config);
  const Rendered r = road.render(item_of({{"title", " Song\n"},
                                          {"artist", "Band"},
                                          {"album", "Record"},
                                          {"genre", "Jazz"},
                                          {"comment", "not in a default template"},
                                          {"id", "42"}}));
  EXPECT_EQ(six(r.fields), (std::vector<std::string>{"Song", "Band", "Record", "Jazz", "", ""}));
  EXPECT_TRUE(r.ufid_owner.empty());  // no owner configured
  EXPECT_FALSE(r.empty());
  EXPECT_TRUE(road.render(Item{}).empty());

  const Rendered fallback = road.render_fallback();
  EXPECT_EQ(six(fallback.fields), (std::vector<std::string>{"Radio One", "", "", "", "", ""}));
}

TEST(Template, FallbackSeesTheStationOnly) {
  Config config;
  config.station = "  Radio\tOne ";
  config.fallback = {"{title}", "{station}", "[{station}[ {artist}]]", "", "", "Live on {station}"};
  TextRoad road(config);
  const Rendered r = road.render_fallback();
  // A comment text without a short description gets one: the library refuses it otherwise.
  EXPECT_EQ(six(r.fields), (std::vector<std::string>{"", "Radio One", "Radio One", "", "Comment",
                                                     "Live on Radio One"}));

  config.fallback = {};
  EXPECT_TRUE(TextRoad(config).render_fallback().empty());  // a flush only
}

TEST(Template, UfidFromIsrcElseIdWithinTheLibrarysSizes) {
  Config config;
  config.ufid_owner = "http://example.org/isrc";
  TextRoad road(config);
  Rendered r = road.render(item_of({{"title", "T"}, {"isrc", "GBAYE0601498"}, {"id", "7"}}));
  EXPECT_EQ(r.ufid_owner, "http://example.org/isrc");
  EXPECT_EQ(r.ufid_id, "GBAYE0601498");
  EXPECT_EQ(road.render(item_of({{"id", " 7 "}})).ufid_id, "7");
  r = road.render(item_of({{"title", "T"}}));
  EXPECT_TRUE(r.ufid_id.empty());
  EXPECT_TRUE(r.ufid_owner.empty());  // no identifier: no group

  // An identifier of 40 two-byte characters is cut to 64 bytes on a whole character; the owner
  // gives way so that both fit 192 bytes.
  config.ufid_owner = std::string(180, 'o');
  TextRoad long_owner(config);
  std::string id;
  for (int i = 0; i < 40; ++i) id += "é";
  r = long_owner.render(item_of({{"id", id}}));
  EXPECT_EQ(r.ufid_id.size(), 64u);
  EXPECT_TRUE(valid_utf8(r.ufid_id));
  EXPECT_EQ(r.ufid_owner.size(), 128u);
}

// ---- Clean-up and transliteration ---------------------------------------------------------------

TEST(Clean, RemovesControlsCollapsesAndTrimsWhiteSpace) {
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"  a  b  ", "a b"},
      {"a\tb\r\nc", "a b c"},
      {"a\x01"
       "b\x7f"
       "c",
       "abc"},
      {std::string("a\0b", 3), "ab"},
      {"a \x02 b", "a b"},
      {"\u00a0x\u3000\u2003y\u2028", "x y"},  // no-break, ideographic, em space, line separator
      {"a\u0085b\u009fc", "a bc"},            // NEL is white space, the other C1 codes controls
      {"e\u0301", "\u00e9"},                  // composed
      {"\U0001F3B5 \u5317\u4eac \u00df", "\U0001F3B5 \u5317\u4eac \u00df"},
  };
  for (const auto &[in, expected] : rows) EXPECT_EQ(marlod::clean(in), expected) << in;
}

TEST(Transliterate, BringsTextIntoLatin1) {
  TextRoad road(Config{});
  const std::pair<const char *, const char *> rows[] = {
      {"Дмитрий Шостакович", "Dmitrij Sostakovic"},
      {"Łódź", "Lódz"},
      {"Beyoncé", "Beyoncé"},
      {"Straße", "Straße"},
      {"🎵", ""},
      {"Song 🎵 Title", "Song Title"},
      {"Beyonce\u0301", "Beyoncé"},  // a decomposed accent is kept, not dropped
      {"Ελληνικά", "Ellenika"},
      {"北京", "bei jing"},
      {"It’s – “quoted” …", "It's - \"quoted\" ..."},
  };
  for (const auto &[in, expected] : rows) EXPECT_EQ(road.to_latin1_text(in), expected) << in;
}

// ---- Cuts ---------------------------------------------------------------------------------------

struct CutRow {
  const char *text;
  std::size_t limit;
  const char *expected;
};

void expect_cuts(const std::vector<CutRow> &rows, Encoding encoding = Encoding::utf8) {
  for (const CutRow &row : rows) {
    Config config;
    config.limits.title = row.limit;
    TextRoad road(config);
    Rendered message;
    message.fields.title = row.text;
    const Fitted fitted = road.fit(message, encoding);
    EXPECT_EQ(fitted.fields.title, row.expected) << row.text << " to " << row.limit;
  }
}

TEST(Cut, AtTheLastWordBoundaryThatFits) {
  expect_cuts({
      {"Hello wonderful world", 21, "Hello wonderful world"},
      {"Hello wonderful world", 18, "Hello wonderful..."},
      {"Hello wonderful world", 17, "Hello..."},
      {"Hello, wonderful world", 15, "Hello..."},  // no "Hello,..."
      {"Artist - Title of the Song", 14, "Artist..."},
      {"我们在北京工作很开心", 8, "我们在北京..."},  // words without spaces
      {"こんにちは世界のみなさん", 9, "こんにちは..."},
  });
}

TEST(Cut, AtACharacterWhenNoWordBoundaryFits) {
  expect_cuts({
      {"Supercalifragilistic", 10, "Superca..."},
      {"(untitled track name)", 10, "(untitl..."},
      {"ÄÖÜÄÖÜÄÖÜÄÖÜ", 8, "ÄÖÜÄÖ..."},
      // A character of several code points stays whole: each thumb here is two.
      {"👍🏽👍🏽👍🏽👍🏽", 7, "👍🏽👍🏽..."},
      {"👍🏽👍🏽👍🏽👍🏽", 6, "👍🏽..."},
      {"Hello", 3, "Hel"},  // no room for the dots
      {"Hello", 0, ""},
  });
}

TEST(Cut, SuffixesGoFirst) {
  expect_cuts({
      {"Yesterday (Remastered 2009)", 12, "Yesterday"},
      {"Song (feat. Someone) [Live]", 20, "Song (feat. Someone)"},
      {"Song (feat. Someone) [Live]", 19, "Song"},
      {"Song feat. Someone Else", 10, "Song"},
      {"Song feat. X (Live)", 12, "Song feat. X"},
      {"Title FT. Other", 6, "Title"},
      {"Title featuring Other Artist", 12, "Title"},
      {"A Song - (Radio Edit)", 10, "A Song"},
      {"Défaite totale", 10, "Défaite..."},  // "feat" inside a word is not a suffix
      {"A Very Long Title Indeed (Live)", 15, "A Very Long..."},
      {"歌の名前（ライブ）", 6, "歌の名前"},  // full-width brackets
  });
}

TEST(Cut, LimitsCountCharactersOfTheEncodedText) {
  // Transliterated for Latin-1 before the limit applies: "bei jing huan ying ni" is longer
  // than the five characters it came from.
  expect_cuts({{"北京欢迎你", 12, "bei jing..."}}, Encoding::latin1);
  expect_cuts({{"北京欢迎你", 12, "北京欢迎你"}}, Encoding::utf16);
}

// ---- The whole tag ------------------------------------------------------------------------------

std::string words(const std::string &word, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += (i ? " " : "") + word + std::to_string(i);
  return out;
}

Rendered long_message(const std::string &word) {
  Rendered m;
  m.fields = {words(word, 200), words(word, 150), words(word, 120),
              words(word, 90),  words(word, 30),  words(word, 260)};
  m.ufid_owner = "http://example.org/isrc";
  m.ufid_id = "GBAYE0601498";
  return m;
}

uint32_t tag_length(ZEL_MARLO_PSD_MSG_t *msg) {
  uint32_t length = 0;
  EXPECT_EQ(zel_marlo_getPsdMsgLength(msg, &length), ZEL_MARLO_SUCCESS)
      << zel::test::errorText(msg);
  return length;
}

TEST(Fit, VeryLongFieldsFitOneTagInEveryEncoding) {
  Config config;
  config.limits.genre = 40;
  TextRoad road(config);
  struct Row {
    const char *word;
    Encoding encoding;
    int id3_encoding;
  } rows[] = {
      {"Word", Encoding::latin1, ZEL_MARLO_ID3_ENC_ISO_8859_1},
      {"Слово", Encoding::latin1, ZEL_MARLO_ID3_ENC_ISO_8859_1},
      {"Слово", Encoding::utf16, ZEL_MARLO_ID3_ENC_UTF_16},
      {"Слово", Encoding::utf8, ZEL_MARLO_ID3_ENC_UTF_8},
      {"🎵x", Encoding::utf16, ZEL_MARLO_ID3_ENC_UTF_16},
      {"🎵x", Encoding::utf8, ZEL_MARLO_ID3_ENC_UTF_8},
      {"Straße", Encoding::automatic, ZEL_MARLO_ID3_ENC_ISO_8859_1},
      {"Слово", Encoding::automatic, ZEL_MARLO_ID3_ENC_UTF_16},
      {"音乐", Encoding::automatic, ZEL_MARLO_ID3_ENC_UTF_16},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.word) + " encoding " + std::to_string(row.id3_encoding));
    const Rendered message = long_message(row.word);
    const Fitted fitted = road.fit(message, row.encoding);
    EXPECT_EQ(fitted.id3_encoding, row.id3_encoding);
    for (const std::string &f : six(fitted.fields)) {
      EXPECT_TRUE(valid_utf8(f));
      EXPECT_GT(f.size(), 3u);
      EXPECT_TRUE(f.ends_with("...")) << f;
      if (row.id3_encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1) {
        EXPECT_TRUE(within_latin1(f)) << f;
      }
    }
    EXPECT_LE(code_points(fitted.fields.genre), 40u);

    Handle msg;
    std::string why;
    ASSERT_TRUE(TextRoad::load(msg.get(), fitted, message, &why)) << why;
    const uint32_t length = tag_length(msg.get());
    EXPECT_LE(length, 1024u);
    EXPECT_GT(length, 900u);  // cut to fit, not far below
    EXPECT_EQ(zel_marlo_createPsdMsg(msg.get(), 1), ZEL_MARLO_SUCCESS);
    uint8_t *packet = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(zel_marlo_sendPsdMsgToBuffer(msg.get(), &packet, &size, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                           ZEL_MARLO_MSG_ID_PSD),
              ZEL_MARLO_SUCCESS);
    std::free(packet);
  }
}

TEST(Fit, OnlyTheLongestFieldsAreCut) {
  TextRoad road(Config{});
  Rendered message;
  message.fields.title = "Short Title (Live)";
  message.fields.artist = "The Band";
  message.fields.comment_title = "Info";
  message.fields.comment = words("lorem", 400);
  for (Encoding e : {Encoding::latin1, Encoding::utf16, Encoding::utf8}) {
    const Fitted fitted = road.fit(message, e);
    EXPECT_EQ(fitted.fields.title, "Short Title (Live)");
    EXPECT_EQ(fitted.fields.artist, "The Band");
    EXPECT_EQ(fitted.fields.comment_title, "Info");
    EXPECT_TRUE(fitted.fields.comment.ends_with("...")) << fitted.fields.comment;
    Handle msg;
    std::string why;
    ASSERT_TRUE(TextRoad::load(msg.get(), fitted, message, &why)) << why;
    EXPECT_LE(tag_length(msg.get()), 1024u);
  }
  // A message that fits goes as it is.
  message.fields.comment = "short";
  EXPECT_EQ(six(road.fit(message, Encoding::utf16).fields), six(message.fields));
}

TEST(Fit, AFieldOfAnyLengthFits) {
  Config config;
  config.limits.title = 5000;  // beyond what one tag holds: the tag still decides
  TextRoad road(config);
  Rendered message;
  message.fields.title = words("Слово", 20000);
  message.fields.artist = std::string(70000, 'a');
  for (Encoding e : {Encoding::latin1, Encoding::utf16}) {
    const Fitted fitted = road.fit(message, e);
    EXPECT_TRUE(fitted.fields.title.ends_with("...")) << fitted.fields.title;
    EXPECT_TRUE(fitted.fields.artist.ends_with("...")) << fitted.fields.artist;
    Handle msg;
    std::string why;
    ASSERT_TRUE(TextRoad::load(msg.get(), fitted, message, &why)) << why;
    EXPECT_LE(tag_length(msg.get()), 1024u);
  }
}

// ---- Loading into a handle ----------------------------------------------------------------------

TEST(Load, PutsTheFieldsAndSwitchesTheGroups) {
  Config config;
  config.templ.comment = "{comment}";
  config.ufid_owner = "owner";
  TextRoad road(config);
  const Rendered message =
      road.render(item_of({{"title", "Beyoncé"}, {"comment", "Live"}, {"isrc", "GBAYE0601498"}}));

  Handle msg;
  std::string why;
  ASSERT_TRUE(TextRoad::load(msg.get(), road.fit(message, Encoding::latin1), message, &why)) << why;
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg.get())), "Beyonc\xe9");  // Latin-1 bytes
  int32_t encoding = -1;
  zel_marlo_getId3TextEncoding(msg.get(), &encoding);
  EXPECT_EQ(encoding, ZEL_MARLO_ID3_ENC_ISO_8859_1);
  EXPECT_EQ(zel_marlo_isPsdCoreEnabled(msg.get()), 1);
  EXPECT_EQ(zel_marlo_isPsdCommentEnabled(msg.get()), 1);
  EXPECT_EQ(own(zel_marlo_getPsdCommentTitle(msg.get())), "Comment");
  EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg.get())), "Live");
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg.get()), 1);
  EXPECT_EQ(own(zel_marlo_getPsdUfidOwnerId(msg.get())), "owner");
  EXPECT_EQ(zel_marlo_getPsdUfidIdentifierSize(msg.get()), 12u);

  // The same handle again, in UTF-8 and without comment or UFID: nothing of before stays.
  Rendered plain;
  plain.fields.title = "Beyoncé";
  ASSERT_TRUE(TextRoad::load(msg.get(), road.fit(plain, Encoding::utf8), plain, &why)) << why;
  EXPECT_EQ(own(zel_marlo_getPsdTitle(msg.get())), "Beyonc\xc3\xa9");
  zel_marlo_getId3TextEncoding(msg.get(), &encoding);
  EXPECT_EQ(encoding, ZEL_MARLO_ID3_ENC_UTF_8);
  EXPECT_EQ(zel_marlo_isPsdCommentEnabled(msg.get()), 0);
  EXPECT_EQ(zel_marlo_isPsdUfidEnabled(msg.get()), 0);
  EXPECT_EQ(own(zel_marlo_getPsdCommentDesc(msg.get())), "<null>");
}

TEST(Load, MessagesWithoutCoreTextEncode) {
  Rendered comment_only;
  comment_only.fields.comment = "Traffic news at ten";
  Rendered ufid_only;
  ufid_only.ufid_owner = "owner";
  ufid_only.ufid_id = "123";
  TextRoad road(Config{});
  for (const Rendered *m : {&comment_only, &ufid_only}) {
    for (Encoding e : {Encoding::latin1, Encoding::utf16, Encoding::utf8, Encoding::automatic}) {
      Handle msg;
      std::string why;
      ASSERT_TRUE(TextRoad::load(msg.get(), road.fit(*m, e), *m, &why)) << why;
      EXPECT_GT(tag_length(msg.get()), 10u);
      EXPECT_EQ(zel_marlo_createPsdMsg(msg.get(), 1), ZEL_MARLO_SUCCESS);
    }
  }
}

TEST(Load, RefusesWhatTheLibraryCannotTake) {
  Handle msg;
  Rendered none;
  std::string why;
  Fitted cyrillic{{"Дм", "", "", "", "", ""}, ZEL_MARLO_ID3_ENC_ISO_8859_1};
  EXPECT_FALSE(TextRoad::load(msg.get(), cyrillic, none, &why));
  EXPECT_NE(why.find("Latin-1"), std::string::npos) << why;

  Fitted bad_encoding{{"x", "", "", "", "", ""}, 7};
  EXPECT_FALSE(TextRoad::load(msg.get(), bad_encoding, none, &why));

  // Not fitted: the library's own report comes back.
  Fitted too_long{{std::string(1100, 'x'), "", "", "", "", ""}, ZEL_MARLO_ID3_ENC_UTF_8};
  EXPECT_FALSE(TextRoad::load(msg.get(), too_long, none, &why));
  EXPECT_NE(why.find("too long"), std::string::npos) << why;
}

}  // namespace
