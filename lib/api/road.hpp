// SPDX-License-Identifier: GPL-2.0-or-later
// The send and receive road of a PSD message.
//
// Send: createContainer checks and encodes the message and keeps it as a PSD container in the
// handle (a create that fails leaves none); sendPsd packs the container into a two-layer VESK
// packet, sends it as one UDP datagram and then unpacks and checks its own packet again;
// sendToBuffer hands the packet out instead. Receive: recvFromNetwork / recvFromBuffer unpack one
// packet and keep its container (a PSD packet without payload leaves none, a flush leaves the
// earlier one); parseReceived checks the container and takes over its ID3 tag.
//
// Every function reports its failures into the handle; the int32_t ones return 1 or 2.
#pragma once

#include <cstdint>

#include "api/handle.hpp"

namespace zel {

bool createContainer(Msg &msg, int32_t contentId);
int32_t sendPsd(Msg &msg, const char *host, int32_t port);
int32_t sendFlush(Msg &msg, const char *host, int32_t port);
int32_t sendToBuffer(Msg &msg, uint8_t **buffer, uint32_t *length, ZEL_MARLO_VESK_TYPE_t kind,
                     ZEL_MARLO_MSG_ID_t msgId);

int32_t recvFromNetwork(Msg &msg, int32_t port, ZEL_MARLO_MSG_ID_t *msgId);
int32_t recvFromBuffer(Msg &msg, const uint8_t *bytes, uint32_t count, ZEL_MARLO_VESK_TYPE_t kind,
                       ZEL_MARLO_MSG_ID_t *msgId);
bool parseReceived(Msg &msg, uint16_t *contentId);

// The bare ID3 tag as one datagram to host and port (as given).
bool sendRawTag(Msg &msg, const char *host, int32_t port);

// The length of the tag the message encodes to.
bool messageLength(Msg &msg, uint32_t *length);

}  // namespace zel
