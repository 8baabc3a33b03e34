// SPDX-License-Identifier: GPL-2.0-or-later
// The screen in front of libid3tag's tag parser.
//
// libid3tag 0.15.1b trusts what it parses in three places that untrusted bytes reach:
//  - undoing unsynchronisation (a v2.2/v2.3 tag with header flag 0x80, a v2.4 frame with
//    format flag 0x02) reads one byte past the buffer when the data ends in FF 00;
//  - a compressed frame makes it allocate the size the frame announces, up to 4 GiB, before
//    inflating;
//  - every terminator in a text list becomes a heap string of its own, so a frame that
//    inflates to megabytes of zero bytes costs gigabytes and seconds.
//
// So the parser never sees the bytes it was handed. The screen walks the tag's header, extended
// header and frame headers with bounded reads and hands the parser a plain tag of the same
// version: only the first frame of each kind the decoder reads (title, artist, album, genre,
// comment, commercial, unique file identifier; their three-letter forms in v2.2), no flags, no
// extended header, unsynchronisation undone, compressed frames inflated (at most
// kMaxInflatedFrame bytes each, exactly the size announced), text frames cut after their first
// string (the only one the decoder reads). Encrypted frames and frames with flags libid3tag does
// not know are left out, as libid3tag leaves them empty. Other frames are skipped unread.
// An ID3v1 tag (128 bytes from "TAG") goes through as it is.
//
// Inputs that libid3tag refuses for their structure (no tag, a size beyond the data, a frame
// header that does not fit, a compressed frame that does not inflate to its announced size) are
// refused here too, and so is a v2.3 tag whose extended header announces a CRC-32 of its frames
// that it does not carry or that does not match (the extended header itself is not passed on,
// so the parser could no longer check it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zel::id3 {

// Largest inflated size of a compressed frame that is taken.
constexpr size_t kMaxInflatedFrame = 16 * 1024;

// The bytes to give id3_tag_parse for input, or nothing when input is refused.
std::optional<std::vector<uint8_t>> screenId3Tag(std::span<const uint8_t> input);

}  // namespace zel::id3
