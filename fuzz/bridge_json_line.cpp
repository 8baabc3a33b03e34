// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's line inputs (TCP, standard input, a watched text file) on arbitrary bytes: the
// stream cut into reads, split into lines, each line parsed as a JSON item and the first one
// through a text pattern. Checks, besides crashes and sanitizer reports: the lines are those of
// a plain reference split whatever the reads, the limit holds, and every answer keeps to
// bridge_checks.hpp (valid text, one-line reasons, items that read back the same as JSON).
//
// Input: byte 0 sets up the run (bits 0-3: read size, 0 for the whole stream at once; bits 4-5:
// the text pattern; bit 7: a 256-byte line limit instead of 64 KiB); the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge_checks.hpp"
#include "parse.hpp"

namespace {

using zel::fuzz::bridge_fail;

constexpr std::string_view kPatterns[] = {"{artist} - {title}", "{title} ({duration})",
                                          "NOW: {title} by {artist} \\[{album}]", "{id}|{isrc}"};

// What the splitter must hand out: lines without LF and one CR before it, empty ones skipped,
// up to the first line longer than the limit; whether the stream overflows; its last line.
struct Reference {
  std::vector<std::string> lines;
  bool overflow = false;
  std::string rest;
};

ZEL_FUZZ_HARNESS Reference reference_split(std::string_view s, std::size_t limit) {
  Reference r;
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = s.find('\n', start);
    std::string_view line = s.substr(start, lf == s.npos ? s.npos : lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > limit) {
      r.overflow = true;
      return r;
    }
    if (lf == s.npos) {
      r.rest = line;
      return r;
    }
    if (!line.empty()) r.lines.emplace_back(line);
    start = lf + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t setup = data[0];
  const std::string_view stream(reinterpret_cast<const char *>(data + 1), size - 1);
  const std::size_t limit = (setup & 0x80) ? 256 : 64 * 1024;
  const std::size_t chunk = (setup & 0x0F) ? (setup & 0x0F) : stream.size() + 1;
  const std::string_view pattern = kPatterns[(setup >> 4) & 3];

  marlod::LineSplitter splitter(limit);
  std::vector<std::string> lines;
  bool ok = true;
  for (std::size_t pos = 0; pos < stream.size() && ok; pos += chunk) {
    ok = splitter.feed(stream.substr(pos, chunk));
    while (auto line = splitter.next()) lines.push_back(std::move(*line));
  }
  const Reference expected = reference_split(stream, limit);
  if (lines != expected.lines || ok == expected.overflow || splitter.overflowed() != !ok)
    bridge_fail("lines differ from the reference split", stream);
  if (splitter.rest() != (ok ? expected.rest : std::string()))
    bridge_fail("the last line differs from the reference", stream);
  if (!ok && (splitter.feed("{}\n") || splitter.next()))
    bridge_fail("took bytes after an overflow", stream);

  if (ok && !expected.rest.empty()) lines.push_back(expected.rest);
  for (const std::string &line : lines)
    zel::fuzz::check_parsed(marlod::parse_json_item(line), line);
  // A text file's line: the first one, as the file input reads it.
  if (!lines.empty()) zel::fuzz::check_parsed(marlod::parse_text_line(lines[0], pattern), lines[0]);
  return 0;
}
