/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * psd_sender: send one PSD message to a receiver, as a studio system does when a new song
 * goes on air.
 *
 *   psd_sender HOST PORT [TITLE [ARTIST]]
 *
 * HOST is a host name or an IPv4 address; PORT 0 means the exciter's default port, 11000.
 * Try it against psd_receiver or marlorx listening on that port:
 *
 *   psd_receiver 11000 &
 *   psd_sender 127.0.0.1 11000 "Blue Moon" "The Trio"
 *
 * Built against an installed library:
 *   cc psd_sender.c $(pkg-config --cflags --libs zel_marlo) -o psd_sender
 */
#include <stdio.h>
#include <stdlib.h>

#include "zel_marlo.h"

/* Prints what the library recorded in the handle about the call that failed. */
static int fail(ZEL_MARLO_PSD_MSG_t *msg, const char *call) {
  const char *report = zel_marlo_getErrorStr(msg);
  fprintf(stderr, "%s failed: error %d %s\n", call, (int)zel_marlo_getErrorNum(msg),
          report != NULL ? report : "(no report)");
  zel_marlo_deletePsdMsg(msg);
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 5) {
    fprintf(stderr, "usage: %s HOST PORT [TITLE [ARTIST]]\n", argv[0]);
    return 2;
  }
  const char *host = argv[1];
  char *end = NULL;
  const long port = strtol(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || port < 0 || port > 65535) {
    fprintf(stderr, "%s: not a port: %s\n", argv[0], argv[2]);
    return 2;
  }
  const char *title = argc > 3 ? argv[3] : "Blue Moon";
  const char *artist = argc > 4 ? argv[4] : "The Trio";

  /* The library's own reports, "orvo[<site>]: <CATEGORY> <text>", are written to stderr as
   * they happen. Each handle also keeps its last one (see fail above). */
  zel_marlo_enableErrorLog(1, stderr);

  /* A handle holds one message. A new one has the core group (title, artist, album, genre)
   * switched on and the other groups off. */
  ZEL_MARLO_PSD_MSG_t *msg = NULL;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }

  /* 1. Fill the message. The setters copy the texts; a NULL or empty text leaves the field
   *    out. Texts are sent as they are given (ISO-8859-1 unless zel_marlo_setId3TextEncoding
   *    says otherwise). */
  zel_marlo_setPsdTitle(msg, title);
  zel_marlo_setPsdArtist(msg, artist);
  zel_marlo_setPsdAlbum(msg, "Morning Show");
  zel_marlo_setPsdGenre(msg, "Jazz");
  /* A group goes on air only while its switch is on. */
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_setPsdComment(msg, "Studio 2", "Live from the studio this morning");

  /* 2. Create: check the values, encode the enabled groups as one ID3v2.3 tag and wrap it in
   *    a PSD container with a content id of your choice. A message that fails the checks is
   *    refused here, with the reason in the handle. */
  if (zel_marlo_createPsdMsg(msg, 42) != ZEL_MARLO_SUCCESS)
    return fail(msg, "zel_marlo_createPsdMsg");

  /* 3. Send: one VESK packet in one UDP datagram. Success means the packet was built and
   *    handed to the network: UDP has no delivery report, and a host name that does not
   *    resolve sends nothing without an error. Each send consumes the container, so every
   *    message needs its own create. */
  if (zel_marlo_sendPsdMsg(msg, host, (int32_t)port, ZEL_MARLO_MSG_ID_PSD) != ZEL_MARLO_SUCCESS)
    return fail(msg, "zel_marlo_sendPsdMsg");
  printf("sent \"%s\" by %s to %s port %ld\n", title, artist, host, port != 0 ? port : 11000L);

  /* 4. Release the handle and everything it holds. */
  zel_marlo_deletePsdMsg(msg);
  return 0;
}
