// SPDX-License-Identifier: GPL-2.0-or-later
// psdmsg - the PSD container: a 12-byte little-endian header, an optional extension header and
// the payload (an ID3 tag).
//
//    0  psdReserved     written as 0
//    1  psdType         0 = PSD
//    2  psdFormat       1 = ID3
//    3  psdOptions      1 = an extension header follows; anything else = none
//    4  psdParam (16)   written as 1 by the library
//    6  contentId (16)
//    8  payloadLength (32)
//   12  extension header of extLength bytes (only with psdOptions 1): extLength as 32 bits,
//       then the bytes 1, 2, 3, ...; a reader takes extLength from byte 12 alone
//   12+extLength  payload
#pragma once

#include <cstdint>

// Builds a container in a new malloc'ed block (*container; caller frees with free). *length holds
// the payload length on entry and the container length on return. Returns 1 (2 if no memory).
// extLength k (1 to 251) asks for an extension header of k + 4 bytes; 0 for none. Also 2, with
// *container null, for a k above 251, a null argument (payload may be null only for an empty
// payload) or a container too long for a 32-bit length.
int32_t psdmsg_create(uint8_t **container, const uint8_t *payload, uint8_t psdType,
                      uint8_t psdFormat, uint8_t extLength, uint16_t psdParam, uint16_t contentId,
                      uint32_t *length);

// Reads a container of containerSize bytes. Returns 1, or 2 for a null container, a too short
// extension header (with its two printed diagnostics), or — printing nothing new — a header,
// extension header or payload (payloadLength) that does not fit in containerSize.
// On success *payload points into the container (nothing is copied); on failure it is left
// alone and the fields read before the failure stay filled. Diagnostics go to standard output.
int32_t psdmsg_parse(const uint8_t *container, uint32_t containerSize, const uint8_t **payload,
                     uint8_t *psdReserved, uint8_t *psdType, uint8_t *psdFormat,
                     uint8_t *psdOptions, uint16_t *psdParam, uint16_t *contentId,
                     uint32_t *payloadLength);
