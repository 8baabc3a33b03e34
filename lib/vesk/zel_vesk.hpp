// SPDX-License-Identifier: GPL-2.0-or-later
// zel_vesk - the VESK packet protocol: the control layer (CL) and the application framing
// layer (AFL, with its TAL bytes and CRC-16 trailer), one handle per packet stream.
//
// Handle types: VESK_TYPE_CL packs and unpacks CL packets, VESK_TYPE_AFL AFL packets, and
// VESK_TYPE_AFL_CL AFL packets whose payload is a whole CL packet. A handle keeps, per layer, a
// sequence-numbering switch and a 16-bit counter, the CRC switch, and the text of its last
// failure ("zel_vesk.cpp:<site> [..."). All header fields are big-endian.
//
// Functions return VESK_OK or one of the VESK_ERR codes; nothing throws.
#pragma once

#include <cstdint>

constexpr uint32_t VESK_OK = 1;
constexpr uint32_t VESK_ERR =
    0x0BAD0000;  // bad argument, handle type or direction; no memory; CL packet < 12 bytes
constexpr uint32_t VESK_ERR_SEQ = 0x0BAD0001;      // sequence number not the expected one
constexpr uint32_t VESK_ERR_VERSION = 0x0BAD0002;  // CL, AFL or TAL version byte not supported
constexpr uint32_t VESK_ERR_PACKET =
    0x0BAD0003;  // AFL packet < 14 bytes, wrong sync or protocol byte
constexpr uint32_t VESK_ERR_RESERVED = 0x0BAD0004;  // CL reserved flag bits set
constexpr uint32_t VESK_ERR_CRC = 0x0BAD0005;       // CRC mismatch or CRC computation failed
constexpr uint32_t VESK_ERR_LENGTH =
    0x0BAD0006;  // a length field disagrees with the bytes received

constexpr int32_t VESK_TYPE_CL = 0;
constexpr int32_t VESK_TYPE_AFL = 1;
constexpr int32_t VESK_TYPE_AFL_CL = 2;

constexpr int32_t VESK_CTRL_CL_SEQ = 0;   // CL sequence numbering on (1) or off
constexpr int32_t VESK_CTRL_AFL_SEQ = 1;  // AFL sequence numbering on (1) or off
constexpr int32_t VESK_CTRL_CRC = 2;      // AFL CRC on (1) or off (version 0x10, trailer 0000)

constexpr uint32_t VESK_ERRTEXT_LEN = 1024;

// The state of one packet stream. A type-0 handle uses only the CL fields, a type-1 handle only
// the AFL fields; a type-2 handle splits into one state of each kind for the length of a call.
struct veskHandle {
  int32_t type = 0;
  char errText[VESK_ERRTEXT_LEN] = {};
  uint8_t clSeqOn = 0;
  uint16_t clSeq = 0;
  uint8_t aflSeqOn = 0;
  uint16_t aflSeq = 0;
  uint8_t crcOn = 0;
};

// Descriptor of a CL packet (type-0 handle).
struct veskClDesc {
  uint32_t msgId;
  uint32_t seq;  // the low 16 bits travel
  uint8_t flag;  // pack writes the whole byte as CL byte 1; unpack delivers bit 0
  uint32_t length;
  const uint8_t
      *payload;  // pack: may be null (bytes counted, not written); unpack: points into the packet
};

// Descriptor of an AFL packet (type-1 handle).
struct veskAflDesc {
  uint8_t talField1;
  uint8_t talField2;
  uint16_t seq;
  uint32_t length;
  const uint8_t *payload;
};

// Descriptor of an AFL packet carrying a CL packet (type-2 handle).
struct veskMsgDesc {
  uint32_t msgId;
  uint32_t seq;  // CL sequence number; on pack also the AFL one while AFL numbering is off
  uint8_t flag;
  uint8_t talField1;
  uint8_t talField2;
  uint16_t aflSeq;  // delivered by unpack, ignored by pack
  uint32_t length;  // CL payload length
  const uint8_t *payload;
};

// Creates a handle of the given type into *handle (null on failure). Types 1 and 2 build the
// CRC tables. CL and AFL numbering start on, the CRC on, the counters at 0.
uint32_t zel_vesk_init(int32_t type, veskHandle **handle);
// Sets one switch from *value. VESK_ERR for a null handle, an unknown control (both without
// text), a null value or a control the handle's type does not have (both with text). An AFL
// unpack with an AFL-only handle sets its CRC switch anew from the received version byte.
uint32_t zel_vesk_ctrl(veskHandle *handle, int32_t control, const uint8_t *value);
// The handle's last failure text ("" while there has been none); null for a null handle.
const char *zel_vesk_errstr(const veskHandle *handle);
// Bytes a caller adds to a payload length when sizing a packet buffer: 12, 32 or 44 by type.
uint32_t zel_vesk_overhead(const veskHandle *handle);
// Releases *handle (if any) and nulls it. handle itself must not be null.
uint32_t zel_vesk_free(veskHandle **handle);
// Writes the module version and build stamp into two caller buffers of 1024 bytes. Returns 1.
int32_t zel_vesk_version(char *version, char *build);

// Packs the descriptor of the handle's type into packet, which has room for the payload length
// plus zel_vesk_overhead bytes; *size receives the packet length.
uint32_t zel_vesk_pack(veskHandle *handle, void *desc, uint8_t *packet, uint32_t *size);
// Unpacks size received bytes into the descriptor of the handle's type. The payload is not
// copied: it points into packet. No byte outside packet[0, size) is read.
uint32_t zel_vesk_unpack(veskHandle *handle, const uint8_t *packet, uint32_t size, void *desc);
// Finds the next AFL packet start in a byte stream buffer of *len bytes, moves it to the front
// and reports the packet's full length L + 12 in *packetLen (0xFFFFFFFF when L + 12 does not
// fit 32 bits: such a start is false, and no short length may be taken from it).
uint32_t zel_vesk_sync(veskHandle *handle, uint8_t *buffer, uint32_t *len, uint32_t *packetLen);

namespace zel::vesk {
// The source-file name every errText starts with.
inline constexpr const char *kModuleFile = "zel_vesk.cpp";
// errText := "zel_vesk.cpp:<site> [" followed by the formatted tail.
void setError(char *errText, int site, const char *tailFormat, ...)
    __attribute__((format(printf, 3, 4)));
}  // namespace zel::vesk
