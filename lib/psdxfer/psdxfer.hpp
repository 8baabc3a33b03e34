// SPDX-License-Identifier: GPL-2.0-or-later
// psdxfer - one datagram at a time over UDP/IPv4.
//
// A receive link is a socket bound to a local port on all addresses; a transmit link is a
// socket with a remembered peer; psdxfer_sendTo needs no link. Every operation returns 1 on
// success and 2 on failure, and a failure leaves its text in the last-error text of the calling
// thread (the two start-up failures of a receive link print theirs on standard output instead).
// Distinct links may be used on distinct threads at once; one link serves one thread at a time.
// The caller starts the platform's socket layer where it needs a start-up call.
#pragma once

#include <cstdint>

struct psdxfer_link {
  int sock;        // the UDP socket
  int32_t port;    // local port (receive link) or the peer's port (transmit link), host order
  char host[200];  // the peer's host name or dotted address; "N/A" on a receive link
};

// The receive buffer, the receive socket's buffer size and the largest datagram psdxfer_send
// takes. A longer datagram is refused by psdxfer_recv, never handed over cut short.
constexpr uint32_t PSDXFER_MAX_DATAGRAM = 32768;

// Creates a receive link bound to port (1 to 65535; any other is refused with "Invalid args")
// on all local addresses into *link.
int32_t psdxfer_openRx(psdxfer_link **link, int32_t port);
// Waits without a time limit for one datagram and hands it over in a new malloc'ed block
// (*data, caller frees with free; a 0-byte datagram gives *length 0). Fails for a datagram
// longer than PSDXFER_MAX_DATAGRAM.
int32_t psdxfer_recv(psdxfer_link *link, uint8_t **data, uint32_t *length);
// Closes the socket, frees the link and nulls *link.
int32_t psdxfer_close(psdxfer_link **link);
// Creates a transmit link to port of host (a name or dotted address shorter than 200
// characters) into *link; the host is resolved at each send.
int32_t psdxfer_openTx(psdxfer_link **link, int32_t port, const char *host);
// Sends length bytes (at most PSDXFER_MAX_DATAGRAM) as one datagram to the link's peer.
int32_t psdxfer_send(psdxfer_link *link, const uint8_t *data, uint32_t length);
// Sends length bytes as one datagram to port of host on a socket of its own. A datagram the
// platform takes only in part, or refuses, is handed over again a bounded number of times;
// the call then returns 1 all the same. A length of 0 sends nothing.
int32_t psdxfer_sendTo(int32_t port, const char *host, const uint8_t *data, uint32_t length);
// The calling thread's last-error text, valid while the thread lives.
const char *psdxfer_getLastError();
