// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's PAD feed client on arbitrary bytes: the feed cut into reads of sizes the input
// chooses, framed into documents, each parsed for a log machine set-up. Checks, besides crashes
// and sanitizer reports: the documents are those of a plain reference framing whatever the
// reads, the limit holds, partial() tells an unfinished document, and every answer keeps to
// bridge_checks.hpp (valid text, one-line reasons, items that read back the same as JSON).
//
// Input: byte 0 sets up the run (bit 0: onair_only; bits 1-2: the machines followed; bit 7: a
// 512-byte document limit instead of 256 KiB); bytes 1-4 are the read sizes, used in turn (0:
// the rest at once); the rest is the feed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge_checks.hpp"
#include "parse.hpp"

namespace {

using zel::fuzz::bridge_fail;

ZEL_FUZZ_HARNESS bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == line.npos;
}

// Documents are the runs of lines that are not blank, each line with its LF, up to the first
// document that grows past the limit.
struct Reference {
  std::vector<std::string> documents;
  bool overflow = false;
  bool partial = false;
};

ZEL_FUZZ_HARNESS Reference reference_frame(std::string_view s, std::size_t limit) {
  Reference r;
  std::string document;
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = s.find('\n', start);
    const std::string_view line = s.substr(start, lf == s.npos ? s.npos : lf - start);
    const bool is_blank = blank(line);
    if ((is_blank && line.size() > limit) ||
        (!is_blank && document.size() + line.size() + (lf != s.npos) > limit)) {
      r.overflow = true;
      return r;
    }
    if (lf == s.npos) {
      r.partial = !document.empty() || !is_blank;
      return r;
    }
    if (is_blank) {
      if (!document.empty()) r.documents.push_back(document);
      document.clear();
    } else {
      document.append(line).push_back('\n');
    }
    start = lf + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  const uint8_t setup = data[0];
  const uint8_t *reads = data + 1;
  const std::string_view feed(reinterpret_cast<const char *>(data + 5), size - 5);
  const std::size_t limit = (setup & 0x80) ? 512 : 256 * 1024;

  marlod::RivendellConfig config;
  config.onair_only = setup & 1;
  switch ((setup >> 1) & 3) {
    case 0:
      config.machines = {1};
      break;
    case 1:
      config.machines = {1, 2};
      break;
    case 2:
      config.machines = {};
      break;
    default:
      config.machines = {0, -1, 2147483647};
      break;
  }

  marlod::PadFramer framer(limit);
  std::vector<std::string> documents;
  bool ok = true;
  for (std::size_t pos = 0, i = 0; pos < feed.size() && ok; ++i) {
    const std::size_t n = reads[i % 4] ? reads[i % 4] : feed.size() - pos;
    ok = framer.feed(feed.substr(pos, n));
    pos += n;
    while (auto document = framer.next()) documents.push_back(std::move(*document));
  }
  const Reference expected = reference_frame(feed, limit);
  if (documents != expected.documents || ok == expected.overflow || framer.overflowed() != !ok)
    bridge_fail("documents differ from the reference framing", feed);
  if (framer.partial() != (ok && expected.partial))
    bridge_fail("partial() differs from the reference", feed);
  if (!ok && (framer.feed("{}\n\n") || framer.next() || framer.partial()))
    bridge_fail("took bytes after an overflow", feed);

  for (const std::string &document : documents) {
    const marlod::Parsed p = marlod::parse_pad_document(document, config);
    zel::fuzz::check_parsed(p, document);
    if (p.status == marlod::Parsed::ok && p.item.clear && !p.item.start.empty())
      bridge_fail("an end with a start", document);
  }
  return 0;
}
