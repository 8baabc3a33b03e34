// SPDX-License-Identifier: GPL-2.0-or-later
// The text road: template, transliterate, clean up, trim. Text is handled as ICU strings so that
// every cut falls on a character; the library measures the tag.
#include "text.hpp"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace marlod {
namespace {

using icu::UnicodeString;

constexpr std::size_t kMaxTag = ZEL_MARLO_MAX_ID3_MSG_LEN;
constexpr std::size_t kMaxUfidId = 64;        // identifier bytes the library keeps
constexpr std::size_t kUfidOwnerAndId = 192;  // owner and identifier together, in bytes
// More characters of one field than a tag of 1024 bytes holds in any encoding.
constexpr int32_t kWorkChars = 1024;
constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
// The library refuses a comment text without a short description; this one stands in.
constexpr const char *kCommentTitle = "Comment";

UnicodeString from_utf8(std::string_view s) {
  return UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string to_utf8(const UnicodeString &u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

UnicodeString clean_u(const UnicodeString &in) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2 *nfc = icu::Normalizer2::getNFCInstance(status);
  // Composed, so that a decomposed "é" counts as Latin-1 and a cut cannot part it from its accent.
  UnicodeString text = U_SUCCESS(status) ? nfc->normalize(in, status) : in;
  if (U_FAILURE(status)) text = in;
  UnicodeString out;
  bool space = false;
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    if (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {  // tab and line feed too, before the controls
      space = !out.isEmpty();
      continue;
    }
    if (u_charType(c) == U_CONTROL_CHAR) continue;
    if (space) out.append(char16_t(u' '));
    space = false;
    out.append(c);
  }
  return out;
}

bool within_latin1(const UnicodeString &u) {
  for (int32_t i = 0; i < u.length(); ++i)
    if (u.charAt(i) > 0xFF) return false;
  return true;
}

// How a field's text is counted in bytes of the tag.
enum class Bytes { latin1, utf16, utf8 };

std::size_t char_bytes(UChar32 c, Bytes kind) {
  switch (kind) {
    case Bytes::latin1:
      return 1;
    case Bytes::utf16:
      return 2 * U16_LENGTH(c);
    case Bytes::utf8:
      break;
  }
  return U8_LENGTH(c);
}

std::size_t bytes_of(const UnicodeString &u, Bytes kind) {
  if (kind == Bytes::utf16) return 2 * static_cast<std::size_t>(u.length());
  std::size_t n = 0;
  for (int32_t i = 0; i < u.length();) {
    const UChar32 c = u.char32At(i);
    i += U16_LENGTH(c);
    n += char_bytes(c, kind);
  }
  return n;
}

// The first bytes of a UTF-8 text, no more than max, ending on a whole character.
std::string utf8_prefix(std::string_view s, std::size_t max) {
  if (s.size() <= max) return std::string(s);
  std::size_t end = max;
  while (end > 0 && U8_IS_TRAIL(static_cast<uint8_t>(s[end]))) --end;
  return std::string(s.substr(0, end));
}

std::array<std::string *, 6> fields_of(Fields &f) {
  return {&f.title, &f.artist, &f.album, &f.genre, &f.comment_title, &f.comment};
}
std::array<const std::string *, 6> fields_of(const Fields &f) {
  return {&f.title, &f.artist, &f.album, &f.genre, &f.comment_title, &f.comment};
}
std::array<const std::optional<std::size_t> *, 6> limits_of(const Limits &l) {
  return {&l.title, &l.artist, &l.album, &l.genre, &l.comment_title, &l.comment};
}

// Latin-1 bytes of a UTF-8 text; false when a character lies outside Latin-1.
bool latin1_bytes(std::string_view utf8, std::string *out) {
  const UnicodeString u = from_utf8(utf8);
  out->clear();
  out->reserve(static_cast<std::size_t>(u.length()));
  for (int32_t i = 0; i < u.length(); ++i) {
    const char16_t c = u.charAt(i);
    if (c > 0xFF) return false;
    out->push_back(static_cast<char>(c));
  }
  return true;
}

void report(std::string *why, std::string text) {
  if (why) *why = std::move(text);
}

std::string library_report(ZEL_MARLO_PSD_MSG_t *handle, const char *what) {
  const char *text = zel_marlo_getErrorStr(handle);
  return text && *text ? std::string(text) : std::string(what);
}

}  // namespace

bool Rendered::empty() const {
  for (const std::string *f : fields_of(fields))
    if (!f->empty()) return false;
  return ufid_owner.empty() || ufid_id.empty();
}

std::string clean(std::string_view utf8) { return to_utf8(clean_u(from_utf8(utf8))); }

std::string expand_item(std::string_view tmpl, const Item &item, std::string_view station) {
  return expand(tmpl, [&](std::string_view key) -> std::string {
    if (key == "station") return clean(station);
    for (std::string_view known : kItemKeys)
      if (key == known) return clean(item.get(key));
    return {};
  });
}

struct TextRoad::Impl {
  Templates templ, fallback;
  Limits limits;
  std::string station;
  std::string ufid_owner;  // within Latin-1, cleaned up
  std::unique_ptr<icu::Transliterator> latin;
  std::unique_ptr<icu::BreakIterator> words, chars;
  std::unique_ptr<icu::RegexPattern> featuring_pattern;
  std::unique_ptr<icu::RegexMatcher> featuring;
  const UnicodeString none;
  icu::UnicodeSet loose_end;  // what is dropped from the end of a cut text before "..."
  ZEL_MARLO_PSD_MSG_t *scratch = nullptr;

  ~Impl() {
    if (scratch) zel_marlo_deletePsdMsg(scratch);
  }

  UnicodeString latin1_u(const UnicodeString &in) const {
    UnicodeString u = clean_u(in);
    latin->transliterate(u);
    // What the transliteration could not bring into Latin-1 goes.
    UnicodeString kept;
    for (int32_t i = 0; i < u.length();) {
      const UChar32 c = u.char32At(i);
      i += U16_LENGTH(c);
      if (c <= 0xFF) kept.append(c);
    }
    return clean_u(kept);
  }

  UnicodeString trim_end(const UnicodeString &u) const {
    int32_t end = u.length();
    while (end > 0) {
      const int32_t before = u.moveIndex32(end, -1);
      if (!loose_end.contains(u.char32At(before))) break;
      end = before;
    }
    return UnicodeString(u, 0, end);  // a copy: u may be a read-only alias of a passing string
  }

  // The text without its last bracketed part or "feat. X"; false when it has none (or nothing
  // would be left).
  bool drop_suffix(const UnicodeString &u, UnicodeString *out) const {
    if (u.isEmpty()) return false;
    const int32_t last_at = u.moveIndex32(u.length(), -1);
    const UChar32 close = u.char32At(last_at);
    if (u_getIntPropertyValue(close, UCHAR_BIDI_PAIRED_BRACKET_TYPE) == U_BPT_CLOSE) {
      const UChar32 open = u_getBidiPairedBracket(close);
      int depth = 0;
      for (int32_t i = u.length(); i > 0;) {
        i = u.moveIndex32(i, -1);
        const UChar32 c = u.char32At(i);
        if (c == close) {
          ++depth;
        } else if (c == open && --depth == 0) {
          UnicodeString head = trim_end(u.tempSubString(0, i));
          if (head.isEmpty()) break;
          *out = head;
          return true;
        }
      }
    }
    UErrorCode status = U_ZERO_ERROR;
    featuring->reset(u);
    if (featuring->matches(status) && U_SUCCESS(status)) {
      UnicodeString head = trim_end(featuring->group(1, status));
      featuring->reset(none);  // it held on to u
      if (U_SUCCESS(status) && !head.isEmpty()) {
        *out = head;
        return true;
      }
    }
    featuring->reset(none);
    return false;
  }

  // The text cut to at most max_chars characters and max_bytes bytes: suffixes dropped first,
  // then cut at a word boundary, else at a character boundary, with "..." at the end.
  // A text that was cut short already (shortened) gets its dots even when it fits, and has no
  // suffix of its own left to drop.
  UnicodeString cut(const UnicodeString &text, std::size_t max_chars, std::size_t max_bytes,
                    Bytes kind, bool shortened = false) const {
    auto fits = [&](const UnicodeString &u) {
      return static_cast<std::size_t>(u.countChar32()) <= max_chars &&
             bytes_of(u, kind) <= max_bytes;
    };
    if (!shortened && fits(text)) return text;
    UnicodeString u = text;
    for (UnicodeString shorter; !shortened && drop_suffix(u, &shorter);) {
      u = shorter;
      if (fits(u)) return u;
    }
    static const UnicodeString dots(u"...");
    const std::size_t dots_bytes = bytes_of(dots, kind);
    // The longest prefixes that fit with the dots (room) and without them (plain): no boundary
    // beyond them can fit.
    int32_t room = 0, plain = 0;
    {
      std::size_t chars_used = 0, bytes_used = 0;
      for (int32_t i = 0; i < u.length();) {
        const UChar32 c = u.char32At(i);
        const int32_t next = i + U16_LENGTH(c);
        bytes_used += char_bytes(c, kind);
        if (++chars_used > max_chars || bytes_used > max_bytes) break;
        plain = next;
        if (chars_used + 3 <= max_chars && bytes_used + dots_bytes <= max_bytes) room = next;
        i = next;
      }
    }
    auto with_dots = [&](icu::BreakIterator &it, UnicodeString *out) {
      it.setText(u);
      // preceding(room + 1) would step back a whole character when room + 1 falls inside one.
      for (int32_t p = it.isBoundary(room) ? room : it.preceding(room);
           p != icu::BreakIterator::DONE && p > 0; p = it.previous()) {
        UnicodeString head = trim_end(u.tempSubString(0, p));
        if (head.isEmpty()) return false;
        head.append(dots);
        if (fits(head)) {
          *out = head;
          return true;
        }
      }
      return false;
    };
    UnicodeString result;
    if (room > 0 && (with_dots(*words, &result) || with_dots(*chars, &result))) return result;
    // No room for the dots: as many whole characters as fit.
    chars->setText(u);
    for (int32_t p = chars->isBoundary(plain) ? plain : chars->preceding(plain);
         p != icu::BreakIterator::DONE && p > 0; p = chars->previous()) {
      UnicodeString head = trim_end(u.tempSubString(0, p));
      if (fits(head)) return head;
    }
    return {};
  }
};

TextRoad::TextRoad(const Config &config) : impl_(std::make_unique<Impl>()) {
  Impl &m = *impl_;
  m.templ = config.templ;
  m.fallback = config.fallback;
  m.limits = config.limits;
  m.station = config.station;

  UErrorCode status = U_ZERO_ERROR;
  // Only what Latin-1 lacks is touched: "é" and "ß" stay as they are.
  m.latin.reset(icu::Transliterator::createInstance(u"[^\\u0000-\\u00FF]; Any-Latin; Latin-ASCII",
                                                    UTRANS_FORWARD, status));
  if (U_FAILURE(status) || !m.latin)
    throw std::runtime_error(std::string("cannot create the transliterator: ") +
                             u_errorName(status));
  m.words.reset(icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  m.chars.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  m.featuring_pattern.reset(
      icu::RegexPattern::compile(u"^(.*\\S)\\s+(?:feat\\.?|ft\\.|featuring)\\s.*$",
                                 UREGEX_CASE_INSENSITIVE | UREGEX_DOTALL, status));
  if (m.featuring_pattern) m.featuring.reset(m.featuring_pattern->matcher(status));
  m.loose_end.applyPattern(
      u"[[:White_Space:][:Pd:][:Ps:][:Pi:][\\,\\.\\;\\:\\/\\&\\+\\u00B7\\u2026]]", status);
  if (U_FAILURE(status) || !m.words || !m.chars || !m.featuring)
    throw std::runtime_error(std::string("cannot set up ICU: ") + u_errorName(status));
  m.loose_end.freeze();

  // The transliterator builds the rules of a script the first time it meets one, the word
  // iterator loads its dictionaries likewise: both happen here rather than on air.
  UnicodeString warm = from_utf8(
      "Дмитрий Ελληνικά 北京欢迎你 こんにちは カタカナ 서울 עברית العربية ภาษาไทย हिन्दी "
      "Հայերեն ქართული ಕನ್ನಡ தமிழ் বাংলা ગુજરાતી ਪੰਜਾਬੀ తెలుగు മലയാളം ລາວ ខ្មែរ မြန်မာ");
  (void)m.latin1_u(warm);
  m.words->setText(warm);
  while (m.words->next() != icu::BreakIterator::DONE) {
  }
  (void)m.cut(warm, 10, kNoLimit, Bytes::utf8);

  if (zel_marlo_allocPsdMsg(&m.scratch) != ZEL_MARLO_SUCCESS || !m.scratch)
    throw std::runtime_error("cannot allocate a message handle");

  if (!config.ufid_owner.empty()) {
    // The owner identifier is a Latin-1 text in the tag.
    UnicodeString owner = m.latin1_u(from_utf8(config.ufid_owner));
    m.ufid_owner = to_utf8(owner.tempSubString(0, kUfidOwnerAndId - 1));
  }
}

TextRoad::~TextRoad() = default;

namespace {

// A comment text needs a short description; the stand-in keeps it on air.
void complete_comment(Fields &f) {
  if (f.comment_title.empty() && !f.comment.empty()) f.comment_title = kCommentTitle;
}

}  // namespace

Rendered TextRoad::render(const Item &item) const {
  Rendered r;
  auto out = fields_of(r.fields);
  auto in = fields_of(impl_->templ);
  for (std::size_t i = 0; i < out.size(); ++i)
    *out[i] = clean(expand_item(*in[i], item, impl_->station));
  complete_comment(r.fields);
  if (!impl_->ufid_owner.empty()) {
    std::string id = clean(item.get("isrc"));
    if (id.empty()) id = clean(item.get("id"));
    r.ufid_id = utf8_prefix(id, kMaxUfidId);
    if (!r.ufid_id.empty()) {
      // The library shortens the owner to make room for the identifier: done here, on a whole
      // character (the owner is Latin-1, one byte each in the tag).
      const UnicodeString owner = from_utf8(impl_->ufid_owner);
      r.ufid_owner =
          to_utf8(owner.tempSubString(0, static_cast<int32_t>(kUfidOwnerAndId - r.ufid_id.size())));
    }
  }
  return r;
}

Rendered TextRoad::render_fallback() const {
  Rendered r;
  auto out = fields_of(r.fields);
  auto in = fields_of(impl_->fallback);
  const std::string station = clean(impl_->station);
  auto lookup = [&](std::string_view key) -> std::string_view {
    return key == "station" ? std::string_view{station} : std::string_view{};
  };
  for (std::size_t i = 0; i < out.size(); ++i) *out[i] = clean(expand(*in[i], lookup));
  complete_comment(r.fields);
  return r;
}

std::string TextRoad::to_latin1_text(std::string_view utf8) const {
  return to_utf8(impl_->latin1_u(from_utf8(utf8)));
}

Fitted TextRoad::fit(const Rendered &message, Encoding encoding) const {
  const Impl &m = *impl_;
  std::array<UnicodeString, 6> original;
  auto in = fields_of(message.fields);
  std::array<bool, 6> shortened{};
  for (std::size_t i = 0; i < in.size(); ++i) {
    original[i] = clean_u(from_utf8(*in[i]));
    // What lies beyond them cannot go on air: it need not be transliterated or searched for
    // boundaries.
    if (original[i].countChar32() > kWorkChars) {
      m.chars->setText(original[i]);
      const int32_t end = original[i].moveIndex32(0, kWorkChars);
      const int32_t at = m.chars->isBoundary(end) ? end : m.chars->preceding(end);
      original[i].truncate(at);
      shortened[i] = true;
    }
  }

  bool latin1 = encoding == Encoding::latin1;
  if (encoding == Encoding::automatic)
    latin1 = std::all_of(original.begin(), original.end(), within_latin1);
  if (encoding == Encoding::latin1)
    for (UnicodeString &u : original) u = m.latin1_u(u);

  Fitted fitted;
  Bytes kind = Bytes::latin1;
  fitted.id3_encoding = ZEL_MARLO_ID3_ENC_ISO_8859_1;
  if (!latin1) {
    const bool utf8 = encoding == Encoding::utf8;
    kind = utf8 ? Bytes::utf8 : Bytes::utf16;
    fitted.id3_encoding = utf8 ? ZEL_MARLO_ID3_ENC_UTF_8 : ZEL_MARLO_ID3_ENC_UTF_16;
  }

  auto limits = limits_of(m.limits);
  std::array<std::size_t, 6> max_chars;
  std::array<UnicodeString, 6> now;
  for (std::size_t i = 0; i < now.size(); ++i) {
    max_chars[i] = limits[i]->value_or(kNoLimit);
    now[i] = m.cut(original[i], max_chars[i], kNoLimit, kind, shortened[i]);
  }

  auto out = fields_of(fitted.fields);
  auto put = [&] {
    for (std::size_t i = 0; i < now.size(); ++i) *out[i] = to_utf8(now[i]);
  };
  // The tag as the library will write it, to tell how much must go. Only a guide: the library's
  // own measure decides.
  auto estimate = [&] {
    Fields f = fitted.fields;
    complete_comment(f);
    auto text = [&](const std::string &s) {
      const std::size_t n = bytes_of(from_utf8(s), kind);
      return kind == Bytes::utf16 ? n + 2 : n;  // byte-order mark
    };
    std::size_t total = 10;
    for (const std::string *s : {&f.title, &f.artist, &f.album, &f.genre})
      if (!s->empty()) total += 10 + 1 + text(*s);
    if (!f.comment_title.empty() || !f.comment.empty())
      total +=
          10 + 1 + 3 + text(f.comment_title) + (kind == Bytes::utf16 ? 2 : 1) + text(f.comment);
    if (!message.ufid_owner.empty() && !message.ufid_id.empty())
      total += 10 + message.ufid_owner.size() + 1 + message.ufid_id.size();
    return total;
  };

  std::size_t cap = kNoLimit;
  for (;;) {
    put();
    if (load(m.scratch, fitted, message, nullptr)) return fitted;
    std::array<std::size_t, 6> cost;
    std::size_t sum = 0;
    for (std::size_t i = 0; i < now.size(); ++i) sum += cost[i] = bytes_of(now[i], kind);
    if (sum == 0) return fitted;  // nothing left to cut: cannot happen with the group sizes
    const std::size_t total = estimate();
    const std::size_t excess = total > kMaxTag ? total - kMaxTag : 16;
    const std::size_t budget = sum > excess ? sum - excess : 0;
    // The largest cap on every field's bytes that brings them within the budget: the longest
    // fields are cut, down to the length of the next ones.
    std::size_t lo = 0, hi = *std::max_element(cost.begin(), cost.end());
    while (lo < hi) {
      const std::size_t mid = hi - (hi - lo) / 2;
      std::size_t within = 0;
      for (std::size_t c : cost) within += std::min(c, mid);
      if (within <= budget)
        lo = mid;
      else
        hi = mid - 1;
    }
    cap = lo < cap ? lo : (cap > 16 ? cap - 16 : 0);
    for (std::size_t i = 0; i < now.size(); ++i)
      if (cost[i] > cap) now[i] = m.cut(original[i], max_chars[i], cap, kind, shortened[i]);
  }
}

bool TextRoad::load(ZEL_MARLO_PSD_MSG_t *handle, const Fitted &fitted, const Rendered &message,
                    std::string *why) {
  if (zel_marlo_clearPsdMsg(handle) != ZEL_MARLO_SUCCESS) {
    report(why, "not a message handle");
    return false;
  }
  if (zel_marlo_setId3TextEncoding(handle, fitted.id3_encoding) != ZEL_MARLO_SUCCESS) {
    report(why, "ID3 text encoding " + std::to_string(fitted.id3_encoding) + " refused");
    return false;
  }
  Fields f = fitted.fields;
  complete_comment(f);
  if (fitted.id3_encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1) {
    std::string bytes;
    for (std::string *s : fields_of(f)) {
      if (!latin1_bytes(*s, &bytes)) {
        report(why, "text outside Latin-1 for ID3 text encoding 0: " + *s);
        return false;
      }
      *s = bytes;
    }
  }
  zel_marlo_setPsdTitle(handle, f.title.c_str());
  zel_marlo_setPsdArtist(handle, f.artist.c_str());
  zel_marlo_setPsdAlbum(handle, f.album.c_str());
  zel_marlo_setPsdGenre(handle, f.genre.c_str());
  zel_marlo_enablePsdCore(handle, 1);
  const bool comment = !f.comment_title.empty() || !f.comment.empty();
  zel_marlo_setPsdComment(handle, f.comment_title.c_str(), f.comment.c_str());
  zel_marlo_enablePsdComment(handle, comment ? 1 : 0);
  const bool ufid = !message.ufid_owner.empty() && !message.ufid_id.empty();
  if (ufid) {
    std::string owner;
    if (!latin1_bytes(message.ufid_owner, &owner)) {
      report(why, "UFID owner outside Latin-1: " + message.ufid_owner);
      return false;
    }
    const std::string id = utf8_prefix(message.ufid_id, kMaxUfidId);
    if (owner.size() >= kUfidOwnerAndId) owner.resize(kUfidOwnerAndId - 1);
    if (zel_marlo_setPsdUfid(handle, owner.c_str(), reinterpret_cast<const uint8_t *>(id.data()),
                             static_cast<uint32_t>(id.size())) != ZEL_MARLO_SUCCESS) {
      report(why, library_report(handle, "UFID refused"));
      return false;
    }
  }
  zel_marlo_enablePsdUfid(handle, ufid ? 1 : 0);
  if (zel_marlo_validatePsdMsg(handle) != ZEL_MARLO_SUCCESS) {
    report(why, library_report(handle, "message refused"));
    return false;
  }
  return true;
}

}  // namespace marlod
