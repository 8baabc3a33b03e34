// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/id3/guard.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "api/id3/format.hpp"
#include "common/bytes.hpp"

namespace zel::id3 {

namespace {

constexpr size_t kId3v1Length = 128;

// Tag header flags.
constexpr uint8_t kTagUnsynchronised = 0x80;
constexpr uint8_t kTagExtendedHeader = 0x40;  // v2.2: compressed tag, which nobody reads
constexpr uint8_t kTagFooter = 0x10;          // v2.4

// v2.3 extended header flags.
constexpr uint16_t kV23ExtendedCrc = 0x8000;

// v2.3 frame flags (status byte, then format byte).
constexpr uint16_t kV23Compressed = 0x0080;
constexpr uint16_t kV23Encrypted = 0x0040;
constexpr uint16_t kV23Grouped = 0x0020;
constexpr uint16_t kV23UnknownFormat = 0x001F;

// v2.4 frame format flags.
constexpr uint16_t kV24Grouped = 0x0040;
constexpr uint16_t kV24Compressed = 0x0008;
constexpr uint16_t kV24Encrypted = 0x0004;
constexpr uint16_t kV24Unsynchronised = 0x0002;
constexpr uint16_t kV24DataLength = 0x0001;
constexpr uint16_t kV24UnknownFormat = 0x00B0;

// A frame that goes on to the parser: its id and data as they stand in the input, or data
// held here after unsynchronisation or inflation were undone.
struct KeptFrame {
  std::span<const uint8_t> id;
  std::span<const uint8_t> data;
  std::vector<uint8_t> plain;     // data with unsynchronisation undone
  std::vector<uint8_t> inflated;  // data inflated
};

enum class Verdict { keep, leaveOut, refuse };

// The row of kFrames for a frame id of the tag's version, or -1 for a frame nobody reads.
int kindOf(std::span<const uint8_t> id, int major) {
  for (size_t k = 0; k < kFrameKinds; ++k) {
    const char *name = major == 2 ? kFrames[k].idV22 : kFrames[k].id;
    if (name != nullptr && std::memcmp(name, id.data(), id.size()) == 0) return static_cast<int>(k);
  }
  return -1;
}

uint32_t crc32Of(std::span<const uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // Tag bodies are at most 28 bits long, well within uInt.
  crc = crc32(crc, bytes.data(), static_cast<uInt>(bytes.size()));
  return static_cast<uint32_t>(crc);
}

// Every FF 00 becomes FF, up to and including the last byte.
std::vector<uint8_t> deunsynchronise(std::span<const uint8_t> in) {
  std::vector<uint8_t> out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    out.push_back(in[i]);
    if (in[i] == 0xFF && i + 1 < in.size() && in[i + 1] == 0x00) ++i;
  }
  return out;
}

// zlib data that inflates to exactly size bytes, size within the limit.
bool inflateExactly(std::span<const uint8_t> in, uint32_t size, std::vector<uint8_t> &out) {
  if (size > kMaxInflatedFrame) return false;
  out.assign(std::max<size_t>(size, 1), 0);
  uLongf produced = size;
  if (uncompress(out.data(), &produced, in.data(), static_cast<uLong>(in.size())) != Z_OK ||
      produced != size)
    return false;
  out.resize(size);
  return true;
}

// Text frame data up to the end of its first string: encoding byte, then the characters
// before the first terminator (00, or 00 00 on a code unit boundary in UTF-16).
std::span<const uint8_t> firstString(std::span<const uint8_t> data) {
  if (data.empty()) return data;
  switch (data[0]) {
    case 0:
    case 3:
      for (size_t i = 1; i < data.size(); ++i)
        if (data[i] == 0) return data.first(i);
      break;
    case 1:
    case 2:
      for (size_t i = 1; i + 1 < data.size(); i += 2)
        if (data[i] == 0 && data[i + 1] == 0) return data.first(i);
      break;
    default:  // libid3tag refuses the frame
      break;
  }
  return data;
}

// v2.3 frame data after its flags: decompressed size, encryption method, group (each when
// flagged), then the data.
Verdict unwrapV23(uint16_t flags, std::span<const uint8_t> data, KeptFrame &frame) {
  if (flags & kV23UnknownFormat) return Verdict::leaveOut;
  ByteReader in(data);
  std::optional<uint32_t> inflatedSize;
  if (flags & kV23Compressed) {
    inflatedSize = in.u32be();
    if (!inflatedSize) return Verdict::refuse;
  }
  if ((flags & kV23Encrypted) && !in.skip(1)) return Verdict::refuse;
  if ((flags & kV23Grouped) && !in.skip(1)) return Verdict::refuse;
  if (flags & kV23Encrypted) return Verdict::leaveOut;
  frame.data = in.rest();
  if (inflatedSize) {
    if (!inflateExactly(frame.data, *inflatedSize, frame.inflated)) return Verdict::refuse;
    frame.data = frame.inflated;
  }
  return Verdict::keep;
}

// v2.4 frame data after its flags: group, encryption method, data length (each when flagged),
// then the data, unsynchronised and/or compressed as flagged.
Verdict unwrapV24(uint16_t flags, std::span<const uint8_t> data, KeptFrame &frame) {
  if (flags & kV24UnknownFormat) return Verdict::leaveOut;
  ByteReader in(data);
  if ((flags & kV24Grouped) && !in.skip(1)) return Verdict::refuse;
  if ((flags & kV24Compressed) && !(flags & kV24DataLength)) return Verdict::refuse;
  if ((flags & kV24Encrypted) && !in.skip(1)) return Verdict::refuse;
  uint32_t dataLength = 0;
  if (flags & kV24DataLength) {
    auto raw = in.u32be();
    if (!raw) return Verdict::refuse;
    dataLength = fromSyncsafe(*raw);
  }
  frame.data = in.rest();
  if ((flags & kV24Unsynchronised) && !frame.data.empty()) {
    frame.plain = deunsynchronise(frame.data);
    frame.data = frame.plain;
  }
  if (flags & kV24Encrypted) return Verdict::leaveOut;
  if (flags & kV24Compressed) {
    if (!inflateExactly(frame.data, dataLength, frame.inflated)) return Verdict::refuse;
    frame.data = frame.inflated;
  }
  return Verdict::keep;
}

// The frame area of a v2.x tag body: after the extended header, before its padding.
std::optional<std::span<const uint8_t>> frameArea(std::span<const uint8_t> body, int major,
                                                  uint8_t flags) {
  if (!(flags & kTagExtendedHeader)) return body;
  ByteReader in(body);
  switch (major) {
    case 3: {
      // Size (without itself), then flags and padding size when it has room for them, then
      // the CRC-32 of the frames (after the extended header, before the padding) when flagged.
      // libid3tag refuses a tag whose CRC is flagged but missing or does not match.
      auto size = in.u32be();
      if (!size) return std::nullopt;
      auto header = in.bytes(*size);
      if (!header) return std::nullopt;
      std::span<const uint8_t> area = in.rest();
      ByteReader fields(*header);
      if (fields.remaining() >= 6) {
        const uint16_t extendedFlags = *fields.u16be();
        const uint32_t padding = *fields.u32be();
        if (padding > area.size()) return std::nullopt;
        area = area.first(area.size() - padding);
        if (extendedFlags & kV23ExtendedCrc) {
          auto crc = fields.u32be();
          if (!crc || *crc != crc32Of(area)) return std::nullopt;
        }
      }
      return area;
    }
    case 4: {
      // Syncsafe size, itself included.
      auto raw = in.u32be();
      if (!raw) return std::nullopt;
      const uint32_t size = fromSyncsafe(*raw);
      if (size < 6 || size > body.size()) return std::nullopt;
      return body.subspan(size);
    }
    default:
      return std::nullopt;
  }
}

bool startsWith(std::span<const uint8_t> bytes, const char *text) {
  const size_t n = std::strlen(text);
  return bytes.size() >= n && std::memcmp(bytes.data(), text, n) == 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> screenId3Tag(std::span<const uint8_t> input) {
  if (startsWith(input, "TAG")) {
    if (input.size() < kId3v1Length) return std::nullopt;
    return std::vector<uint8_t>(input.begin(), input.begin() + kId3v1Length);
  }

  // Header: "ID3", major, revision, flags, syncsafe size of what follows.
  ByteReader in(input);
  if (!startsWith(input, "ID3") || !in.skip(3)) return std::nullopt;
  auto major = in.u8();
  auto revision = in.u8();
  auto flags = in.u8();
  auto rawSize = in.u32be();
  if (!rawSize || *major == 0xFF || *revision == 0xFF || (*rawSize & 0x80808080) != 0)
    return std::nullopt;
  if (*major < 2 || *major > 4) return std::nullopt;
  const uint32_t size = fromSyncsafe(*rawSize);
  const size_t footer = *major == 4 && (*flags & kTagFooter) ? kFooterLength : 0;
  if (in.remaining() < size + footer) return std::nullopt;
  std::span<const uint8_t> body = *in.bytes(size);

  std::vector<uint8_t> plainBody;
  if (*major < 4 && (*flags & kTagUnsynchronised)) {
    plainBody = deunsynchronise(body);
    body = plainBody;
  }
  auto area = frameArea(body, *major, *flags);
  if (!area) return std::nullopt;

  // Frames, up to the padding (a zero byte where a frame would begin).
  std::array<KeptFrame, kFrameKinds> kept;
  std::array<bool, kFrameKinds> seen{};
  size_t keptCount = 0;
  ByteReader frames(*area);
  const size_t idLength = *major == 2 ? 3 : 4;
  const size_t frameHeaderLength = *major == 2 ? 6 : 10;
  while (frames.remaining() > 0 && frames.rest()[0] != 0) {
    if (frames.remaining() < frameHeaderLength) return std::nullopt;
    std::span<const uint8_t> id = *frames.bytes(idLength);
    uint32_t dataSize = 0;
    uint16_t frameFlags = 0;
    if (*major == 2) {
      dataSize = uint32_t{*frames.u8()} << 16;
      dataSize |= *frames.u16be();
    } else {
      dataSize = *frames.u32be();
      if (*major == 4) dataSize = fromSyncsafe(dataSize);
      frameFlags = *frames.u16be();
    }
    auto data = frames.bytes(dataSize);
    if (!data) return std::nullopt;

    const int kind = kindOf(id, *major);
    if (kind < 0 || seen[kind]) continue;  // only the first frame of a kind is read
    seen[kind] = true;

    KeptFrame &frame = kept[keptCount];
    Verdict verdict = Verdict::keep;
    if (*major == 3)
      verdict = unwrapV23(frameFlags, *data, frame);
    else if (*major == 4)
      verdict = unwrapV24(frameFlags, *data, frame);
    else
      frame.data = *data;
    if (verdict == Verdict::refuse) return std::nullopt;
    if (verdict == Verdict::leaveOut) continue;
    if (kFrames[kind].textFrame) frame.data = firstString(frame.data);
    frame.id = id;
    ++keptCount;
  }

  // The plain tag: same version, no flags, the kept frames without flags.
  size_t total = 0;
  for (size_t i = 0; i < keptCount; ++i) total += frameHeaderLength + kept[i].data.size();
  if (total > kMaxSyncsafe) return std::nullopt;
  std::vector<uint8_t> out(kHeaderLength + total);
  ByteWriter w(out);
  w.bytes(std::span(reinterpret_cast<const uint8_t *>("ID3"), 3));
  w.u8(*major);
  w.u8(0);
  w.u8(0);
  w.u32be(toSyncsafe(static_cast<uint32_t>(total)));
  for (size_t i = 0; i < keptCount; ++i) {
    const auto dataSize = static_cast<uint32_t>(kept[i].data.size());
    w.bytes(kept[i].id);
    if (*major == 2) {
      w.u8(static_cast<uint8_t>(dataSize >> 16));
      w.u16be(static_cast<uint16_t>(dataSize));
    } else {
      w.u32be(*major == 4 ? toSyncsafe(dataSize) : dataSize);
      w.u16be(0);
    }
    w.bytes(kept[i].data);
  }
  return out;
}

}  // namespace zel::id3
