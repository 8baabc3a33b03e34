// SPDX-License-Identifier: GPL-2.0-or-later
// The receive road's table of malformed datagrams: each row is a valid packet made by the
// library, bent by a mutator, and the outcome it must have in zel_marlo_recvPsdMsgFromBuffer and
// zel_marlo_parsePsdMsg. Used by receive_road_test.cpp, and written out by road_rows_dump for the
// test that sends the same datagrams to marlorx.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/zel_marlo.h"
#include "support/message_fill.hpp"
#include "support/vesk_packets.hpp"

namespace zel::road {

using Bytes = std::vector<uint8_t>;
using zel::test::be32;
using zel::test::operator+;

// Where the road stops. A packet that does not unpack is refused by the receive call, with the
// VESK site in the report; a container or tag that does not parse is refused by the parse, with
// that report's number; anything else is taken.
enum class Stage { unpack, parse, taken };

constexpr unsigned kTwoLayer = 1;  // ZEL_MARLO_VESK_TYPE_AFL_CL
constexpr unsigned kClOnly = 2;    // ZEL_MARLO_VESK_TYPE_CL
constexpr unsigned kBoth = kTwoLayer | kClOnly;

struct Outcome {
  Stage stage;
  int32_t errorNum = 0;  // parse: the error number left in the handle (unpack: always XFER_RX)
  int site = 0;          // unpack: the VESK site; parse: the report number
  ZEL_MARLO_MSG_ID_t msgId = ZEL_MARLO_MSG_ID_PSD;  // taken: the message id delivered
  std::string title = "Title";                      // taken PSD message: its title
};

struct Row {
  std::string name;
  unsigned kinds;
  std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> datagram;
  Outcome outcome;
};

constexpr uint16_t kContentId = 0x1234;
using zel::test::kEveryFieldIdentifier;

inline Outcome unpackFails(int site) { return {Stage::unpack, XFER_RX, site}; }
inline Outcome parseFails(int32_t errorNum, int report) { return {Stage::parse, errorNum, report}; }
inline Outcome taken(std::string title = "Title") {
  return {Stage::taken, 0, 0, ZEL_MARLO_MSG_ID_PSD, std::move(title)};
}
inline Outcome takenAs(ZEL_MARLO_MSG_ID_t id) { return {Stage::taken, 0, 0, id, ""}; }

// ---- the valid packets, made by the library -----------------------------------------------------

// A message with every group, as the transmit side fills it.
inline void fillAllGroups(ZEL_MARLO_PSD_MSG_t *msg) {
  zel::test::fillEveryField(msg);
  zel::test::enableEveryGroup(msg);
}

inline Bytes libraryPacket(ZEL_MARLO_VESK_TYPE_t kind) {
  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) throw std::runtime_error("alloc");
  fillAllGroups(msg);
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  const bool ok = zel_marlo_createPsdMsg(msg, kContentId) == ZEL_MARLO_SUCCESS &&
                  zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, kind, ZEL_MARLO_MSG_ID_PSD) ==
                      ZEL_MARLO_SUCCESS;
  zel_marlo_deletePsdMsg(msg);
  Bytes out;
  if (buffer != nullptr) out.assign(buffer, buffer + length);
  std::free(buffer);
  if (!ok) throw std::runtime_error("the library made no packet");
  return out;
}

// The layers of the valid packets: the two-layer packet, and inside it the CL packet (the whole
// CL-only packet), the container and the tag.
struct Layers {
  Bytes twoLayer, cl, container, tag;
};

inline const Layers &layers() {
  static const Layers l = [] {
    Layers out;
    out.twoLayer = libraryPacket(ZEL_MARLO_VESK_TYPE_AFL_CL);
    out.cl = libraryPacket(ZEL_MARLO_VESK_TYPE_CL);
    out.container.assign(out.cl.begin() + 12, out.cl.end());
    out.tag.assign(out.container.begin() + 12, out.container.end());
    if (Bytes(out.twoLayer.begin() + 14, out.twoLayer.end() - 2) != out.cl)
      throw std::runtime_error("the two-layer packet does not carry the CL packet");
    return out;
  }();
  return l;
}

// ---- mutators -----------------------------------------------------------------------------------

inline Bytes le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline Bytes put(Bytes b, size_t at, const Bytes &value) {
  for (size_t i = 0; i < value.size(); ++i) b.at(at + i) = value[i];
  return b;
}
inline Bytes set(Bytes b, size_t at, uint8_t value) { return put(std::move(b), at, {value}); }
inline Bytes flip(Bytes b, size_t at) {
  b.at(at) ^= 0x01;
  return b;
}
inline Bytes cut(Bytes b, size_t n) {
  b.resize(std::min(n, b.size()));
  return b;
}

// The AFL framing the library puts around a CL packet: its header with the length made to fit,
// and a CRC made anew.
inline Bytes frame(const Bytes &cl) {
  const Bytes &lib = layers().twoLayer;
  const Bytes head = Bytes(lib.begin(), lib.begin() + 2) + be32(uint32_t(cl.size() + 4)) +
                     Bytes(lib.begin() + 6, lib.begin() + 14);
  return zel::test::withCrc(head + cl);
}

// A CL packet around a payload, with the library's header and a length that fits.
inline Bytes clAround(const Bytes &payload) {
  return put(Bytes(layers().cl.begin(), layers().cl.begin() + 12), 8,
             be32(uint32_t(payload.size()))) +
         payload;
}

// A container around a tag, with the library's header and a payload length that fits.
inline Bytes containerAround(const Bytes &tag) {
  return put(Bytes(layers().container.begin(), layers().container.begin() + 12), 8,
             le32(uint32_t(tag.size()))) +
         tag;
}

using Mutator = std::function<Bytes(Bytes)>;

// The whole datagram of both kinds, as it is.
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> same(Bytes datagram) {
  return [datagram](ZEL_MARLO_VESK_TYPE_t) { return datagram; };
}

// The two-layer packet, bent (its CRC stays as it was unless the mutator makes it anew).
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> outer(Mutator m) {
  return [m](ZEL_MARLO_VESK_TYPE_t) { return m(layers().twoLayer); };
}
// ... and sealed with a CRC made anew.
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> outerSealed(Mutator m) {
  return [m](ZEL_MARLO_VESK_TYPE_t) { return zel::test::resealed(m(layers().twoLayer)); };
}

// The CL packet, bent; the two-layer kind frames it as the library would.
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> inner(Mutator m) {
  return [m](ZEL_MARLO_VESK_TYPE_t kind) {
    const Bytes cl = m(layers().cl);
    return kind == ZEL_MARLO_VESK_TYPE_CL ? cl : frame(cl);
  };
}

// The container, bent; the layers around it fit it.
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> inContainer(Mutator m) {
  return inner([m](Bytes) { return clAround(m(layers().container)); });
}

// The tag, bent or replaced; the layers around it fit it.
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> inTag(Mutator m) {
  return inContainer([m](Bytes) { return containerAround(m(layers().tag)); });
}
inline std::function<Bytes(ZEL_MARLO_VESK_TYPE_t)> asTag(Bytes tag) {
  return inTag([tag](Bytes) { return tag; });
}

// ---- ID3 pieces ---------------------------------------------------------------------------------

using zel::test::deflated;
using zel::test::noise;
using zel::test::syncsafe;
using zel::test::text;
using zel::test::wire::frame3;
using zel::test::wire::frame4;
using zel::test::wire::id3;

// The largest datagram the receiver takes in.
constexpr size_t kMaxDatagram = 32768;

// ---- the table ----------------------------------------------------------------------------------

inline std::vector<Row> receiveRoadRows() {
  const Layers &l = layers();
  const size_t crcAt = l.twoLayer.size() - 2;
  const size_t tagAt = 26 + 12;  // in the two-layer packet
  const Bytes title = frame3("TIT2", Bytes{0} + text("t"));
  const Bytes extWord = text("EXTW");

  return {
      // The valid packet, and variations every reader must take.
      {"valid packet", kBoth, inner([](Bytes b) { return b; }), taken()},
      {"AFL version 0x10: no CRC, trailer not looked at", kTwoLayer,
       outer([=](Bytes b) { return set(set(set(b, 8, 0x10), crcAt, 0xAA), crcAt + 1, 0x55); }),
       taken()},
      {"TAL extension count bits 4-0 ignored", kTwoLayer,
       outerSealed([](Bytes b) { return set(b, 11, 0x1F); }), taken()},
      {"TAL extension word skipped", kTwoLayer, outerSealed([=](Bytes b) {
         Bytes out = put(set(Bytes(b.begin(), b.begin() + 12), 11, 0x20), 2,
                         be32(uint32_t(b.size() - 12 + 4)));
         return out + extWord + Bytes(b.begin() + 12, b.end());
       }),
       taken()},
      {"CL flag bit 0", kBoth, inner([](Bytes b) { return set(b, 1, 0x01); }), taken()},
      {"CL message id 7: not parsed", kBoth, inner([](Bytes b) { return put(b, 4, be32(7)); }),
       takenAs(7)},
      {"CL message id 1 with a payload: a flush", kBoth,
       inner([](Bytes b) { return put(b, 4, be32(1)); }), takenAs(ZEL_MARLO_MSG_ID_FLUSH)},
      {"container reserved byte and parameter ignored", kBoth, inContainer([](Bytes c) {
         return set(put(c, 4, Bytes{0xFF, 0xFF}), 0, 0xFF);
       }),
       taken()},
      {"container options 2: no extension header", kBoth,
       inContainer([](Bytes c) { return set(c, 3, 2); }), taken()},
      {"container extension header of 4 bytes", kBoth, inContainer([=](Bytes c) {
         return set(Bytes(c.begin(), c.begin() + 12), 3, 1) + le32(4) + l.tag;
       }),
       taken()},

      // Datagrams too short for a layer.
      {"empty datagram", kTwoLayer, same({}), unpackFails(610)},
      {"empty datagram", kClOnly, same({}), unpackFails(353)},
      {"13 bytes: AFL header cut", kTwoLayer, outer([](Bytes b) { return cut(b, 13); }),
       unpackFails(610)},
      {"11 bytes: CL header cut", kBoth, inner([](Bytes b) { return cut(b, 11); }),
       unpackFails(353)},
      {"CL header alone, length 0: no container to parse", kBoth,
       inner([](Bytes b) { return put(cut(b, 12), 8, be32(0)); }), parseFails(VESK_PARSE, 1704)},
      {"container header cut", kBoth, inContainer([](Bytes c) { return cut(c, 11); }),
       parseFails(VESK_PARSE, 1704)},
      {"extension header cut", kBoth, inContainer([](Bytes c) { return set(cut(c, 12), 3, 1); }),
       parseFails(VESK_PARSE, 1704)},
      {"tag cut in its header", kBoth, inTag([](Bytes t) { return cut(t, 9); }),
       parseFails(SET_ID3, 1766)},
      {"tag cut in a frame", kBoth, inTag([](Bytes t) { return cut(t, t.size() - 1); }),
       parseFails(SET_ID3, 1766)},
      {"32 KiB of noise", kTwoLayer, same(noise(kMaxDatagram)), unpackFails(633)},
      {"32 KiB of noise", kClOnly, same(noise(kMaxDatagram)), unpackFails(376)},

      // AFL header: wrong bytes.
      {"sync byte 1", kTwoLayer, outerSealed([](Bytes b) { return set(b, 0, 'a'); }),
       unpackFails(633)},
      {"sync byte 2", kTwoLayer, outerSealed([](Bytes b) { return set(b, 1, 'f'); }),
       unpackFails(633)},
      {"AFL version 0x91", kTwoLayer, outerSealed([](Bytes b) { return set(b, 8, 0x91); }),
       unpackFails(656)},
      {"protocol byte", kTwoLayer, outerSealed([](Bytes b) { return set(b, 9, 'I'); }),
       unpackFails(678)},
      {"TAL version", kTwoLayer, outerSealed([](Bytes b) { return set(b, 10, 0x00); }),
       unpackFails(692)},

      // CRC flipped in each region.
      {"CRC: AFL header changed", kTwoLayer, outer([](Bytes b) { return flip(b, 7); }),
       unpackFails(763)},
      {"CRC: TAL field changed", kTwoLayer, outer([](Bytes b) { return flip(b, 12); }),
       unpackFails(763)},
      {"CRC: CL header changed", kTwoLayer, outer([](Bytes b) { return flip(b, 17); }),
       unpackFails(763)},
      {"CRC: container changed", kTwoLayer, outer([](Bytes b) { return flip(b, 26 + 6); }),
       unpackFails(763)},
      {"CRC: tag changed", kTwoLayer, outer([=](Bytes b) { return flip(b, tagAt + 20); }),
       unpackFails(763)},
      {"CRC: trailer changed", kTwoLayer, outer([=](Bytes b) { return flip(b, crcAt + 1); }),
       unpackFails(763)},

      // AFL length and extension count lying, both ways.
      {"AFL length one too many", kTwoLayer,
       outerSealed([=](Bytes b) { return put(b, 2, be32(uint32_t(b.size() - 12 + 1))); }),
       unpackFails(705)},
      {"AFL length 0xFFFFFFFF", kTwoLayer,
       outerSealed([](Bytes b) { return put(b, 2, be32(0xFFFFFFFF)); }), unpackFails(705)},
      {"AFL length below its fixed part", kTwoLayer,
       outerSealed([](Bytes b) { return put(b, 2, be32(3)); }), unpackFails(705)},
      {"AFL length one too few: CRC looked for in the wrong place", kTwoLayer,
       outerSealed([=](Bytes b) { return put(b, 2, be32(uint32_t(b.size() - 12 - 1))); }),
       unpackFails(763)},
      {"AFL length one too few, no CRC", kTwoLayer,
       outer([=](Bytes b) { return set(put(b, 2, be32(uint32_t(b.size() - 12 - 1))), 8, 0x10); }),
       unpackFails(817)},
      {"extension count above the words present", kTwoLayer,
       outerSealed([](Bytes b) { return set(b, 11, 0xE0); }), unpackFails(376)},
      {"AFL packet without a CL packet", kTwoLayer, same(frame({})), unpackFails(353)},
      {"extension count 7 in a 16-byte packet", kTwoLayer,
       [](ZEL_MARLO_VESK_TYPE_t) { return zel::test::resealed(set(frame({}), 11, 0xE0)); },
       unpackFails(705)},
      {"extension count below the words present", kTwoLayer, outerSealed([=](Bytes b) {
         Bytes out = put(Bytes(b.begin(), b.begin() + 12), 2, be32(uint32_t(b.size() - 12 + 4)));
         return out + extWord + Bytes(b.begin() + 12, b.end());
       }),
       unpackFails(376)},

      // CL header.
      {"CL version", kBoth, inner([](Bytes b) { return set(b, 0, 0x11); }), unpackFails(376)},
      {"CL reserved flag bit 1", kBoth, inner([](Bytes b) { return set(b, 1, 0x02); }),
       unpackFails(396)},
      {"CL reserved flag bit 7", kBoth, inner([](Bytes b) { return set(b, 1, 0x81); }),
       unpackFails(396)},
      {"CL length one too many", kBoth,
       inner([](Bytes b) { return put(b, 8, be32(uint32_t(b.size() - 12 + 1))); }),
       unpackFails(410)},
      {"CL length 0xFFFFFFFF", kBoth, inner([](Bytes b) { return put(b, 8, be32(0xFFFFFFFF)); }),
       unpackFails(410)},
      {"CL length one too few: container cut", kBoth,
       inner([](Bytes b) { return put(b, 8, be32(uint32_t(b.size() - 12 - 1))); }),
       parseFails(VESK_PARSE, 1704)},
      {"CL length 0", kBoth, inner([](Bytes b) { return put(b, 8, be32(0)); }),
       parseFails(VESK_PARSE, 1704)},

      // Container header.
      {"container type 5", kBoth, inContainer([](Bytes c) { return set(c, 1, 5); }),
       parseFails(ZEL_MARLO_TYPE, 1718)},
      {"container format 0", kBoth, inContainer([](Bytes c) { return set(c, 2, 0); }),
       parseFails(ZEL_MARLO_FORMAT, 1732)},
      {"container format 2", kBoth, inContainer([](Bytes c) { return set(c, 2, 2); }),
       parseFails(ZEL_MARLO_FORMAT, 1732)},
      {"extension header length 3", kBoth,
       inContainer([](Bytes c) { return set(set(c, 3, 1), 12, 3); }), parseFails(VESK_PARSE, 1704)},
      {"extension header longer than the container", kBoth,
       inContainer([](Bytes c) { return set(cut(set(c, 3, 1), 40), 12, 0xFF); }),
       parseFails(VESK_PARSE, 1704)},
      {"payload length one too many", kBoth,
       inContainer([](Bytes c) { return put(c, 8, le32(uint32_t(c.size() - 12 + 1))); }),
       parseFails(VESK_PARSE, 1704)},
      {"payload length 0xFFFFFFFF", kBoth,
       inContainer([](Bytes c) { return put(c, 8, le32(0xFFFFFFFF)); }),
       parseFails(VESK_PARSE, 1704)},
      {"payload length one too few: tag cut", kBoth,
       inContainer([](Bytes c) { return put(c, 8, le32(uint32_t(c.size() - 12 - 1))); }),
       parseFails(SET_ID3, 1766)},
      {"payload length 0", kBoth, inContainer([](Bytes c) { return put(c, 8, le32(0)); }),
       parseFails(SET_ID3, 1766)},

      // The tag.
      {"not an ID3 tag", kBoth, asTag(text("NOT AN ID3 TAG")), parseFails(SET_ID3, 1766)},
      {"tag size one too many", kBoth,
       inTag([](Bytes t) { return put(t, 6, syncsafe(uint32_t(t.size() - 10 + 1))); }),
       parseFails(SET_ID3, 1766)},
      {"tag size not syncsafe", kBoth, inTag([](Bytes t) { return set(t, 9, t[9] | 0x80); }),
       parseFails(SET_ID3, 1766)},
      {"tag version 2.5", kBoth, inTag([](Bytes t) { return set(t, 3, 5); }),
       parseFails(SET_ID3, 1766)},
      {"frame larger than the tag", kBoth,
       asTag(id3(text("TIT2") + be32(100) + Bytes{0, 0, 0, 't'})), parseFails(SET_ID3, 1766)},
      {"frame header cut", kBoth, asTag(id3(title + text("TPE1") + be32(1))),
       parseFails(SET_ID3, 1766)},
      {"frame without its encoding byte", kBoth, asTag(id3(frame3("TIT2", {}))),
       parseFails(SET_ID3, 1766)},
      {"frame with text encoding 9", kBoth, asTag(id3(frame3("TIT2", Bytes{9} + text("x")))),
       parseFails(SET_ID3, 1766)},
      {"commercial frame cut in its date", kBoth,
       asTag(id3(frame3("COMR", Bytes{0} + text("p") + Bytes{0} + text("2004")))),
       parseFails(SET_ID3, 1766)},
      {"received-as 0xFF fails validation", kBoth,
       asTag(id3(title + frame3("COMR", Bytes{0} + text("p") + Bytes{0} + text("20041231") +
                                            text("u") + Bytes{0, 0xFF} + text("s") + Bytes{0} +
                                            text("d") + Bytes{0, 0}))),
       parseFails(SET_ID3, 1766)},
      {"frames after padding are not read", kBoth,
       asTag(id3(title + Bytes(64, 0) + frame3("TPE1", Bytes{0} + text("late")))), taken("t")},
      {"32 KiB: valid layers around noise", kBoth, asTag(noise(kMaxDatagram - 28 - 12)),
       parseFails(SET_ID3, 1766)},

      // The defects of libid3tag the guard defuses (F1-F3).
      {"F1: unsynchronised tag ending in FF 00", kBoth,
       // the frame's size counts its data with unsynchronisation undone
       asTag(id3(text("TIT2") + be32(3) + Bytes{0, 0} + Bytes{0, 'a', 0xFF, 0x00}, 3, 0x80)),
       taken("a\xFF")},
      {"F1: unsynchronised v2.4 frame ending in FF 00", kBoth,
       asTag(id3(frame4("TIT2", Bytes{0, 'b', 0xFF, 0x00}, 0x0002), 4)), taken("b\xFF")},
      {"F2: compressed frame announcing 4 GiB", kBoth,
       asTag(id3(frame3("TIT2", be32(0xFFFFFFFF) + deflated(Bytes{0, 'x'}), 0x0080))),
       parseFails(SET_ID3, 1766)},
      {"F3: 30 MB of terminators compressed into one datagram", kBoth,
       asTag(id3(frame3("TIT2", be32(30'000'001) + deflated(Bytes(30'000'001, 0)), 0x0080))),
       parseFails(SET_ID3, 1766)},
      {"F3: a title list of 16 KiB of terminators", kBoth,
       asTag(id3(frame3("TPE1", Bytes{0} + text("a")) +
                 frame3("TIT2", Bytes{0} + text("t") + Bytes(16 * 1024, 0)))),
       taken("t")},
  };
}

}  // namespace zel::road
