/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * psd_receiver: listen for PSD messages on a UDP socket of its own and print each one, as the
 * broadcast side of a PSD feed does.
 *
 *   psd_receiver PORT [COUNT [ADDRESS]]
 *
 * PORT 0 lets the system pick a free port. The first line printed is "listening on
 * ADDRESS:PORT". COUNT datagrams are taken before the program ends (default: without end);
 * ADDRESS is the local address to listen on (default: all of them).
 *
 * The program keeps its socket bound all the time and hands each datagram to the library with
 * zel_marlo_recvPsdMsgFromBuffer. (zel_marlo_recvPsdMsg would bind the port only while it
 * waits, so datagrams arriving in between would be lost.) A datagram that is not a PSD
 * packet is reported and the program goes on listening.
 *
 * Built against an installed library:
 *   cc psd_receiver.c $(pkg-config --cflags --libs zel_marlo) -o psd_receiver
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zel_marlo.h"

/* Prints one field. Every text the library hands out is a copy: free it. */
static void show(const char *label, char *value) {
  if (value != NULL) printf("  %-20s %s\n", label, value);
  free(value);
}

/* Decodes one datagram and prints what it carries. */
static void handle_datagram(const uint8_t *data, uint32_t length) {
  ZEL_MARLO_PSD_MSG_t *msg = NULL;
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return;

  /* The group switches also decide which groups are taken from a received message: switch
   * on all four (a new handle has only the core group on). */
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_enablePsdCommercial(msg, 1);
  zel_marlo_enablePsdUfid(msg, 1);

  /* 1. Unpack the packet (the two-layer kind that zel_marlo_sendPsdMsg sends) and learn its
   *    message id. The PSD container stays in the handle. */
  ZEL_MARLO_MSG_ID_t id = 0;
  if (zel_marlo_recvPsdMsgFromBuffer(msg, data, length, ZEL_MARLO_VESK_TYPE_AFL_CL, &id) !=
      ZEL_MARLO_SUCCESS) {
    printf("%u bytes that are not a PSD packet: %s\n", (unsigned)length,
           zel_marlo_getErrorStr(msg));
  } else if (id == ZEL_MARLO_MSG_ID_FLUSH) {
    printf("flush: the sender clears what it announced\n");
  } else if (id != ZEL_MARLO_MSG_ID_PSD) {
    printf("packet with message id %d, not handled\n", (int)id);
  } else {
    /* 2. Parse: check the container and decode its ID3 tag into the handle's fields. */
    uint16_t contentId = 0;
    if (zel_marlo_parsePsdMsg(msg, &contentId) != ZEL_MARLO_SUCCESS) {
      printf("PSD message that does not decode: %s\n", zel_marlo_getErrorStr(msg));
    } else {
      /* 3. Read the fields; an absent field reads as NULL. */
      printf("PSD message, content id %u\n", (unsigned)contentId);
      show("title", zel_marlo_getPsdTitle(msg));
      show("artist", zel_marlo_getPsdArtist(msg));
      show("album", zel_marlo_getPsdAlbum(msg));
      show("genre", zel_marlo_getPsdGenre(msg));
      show("comment", zel_marlo_getPsdCommentTitle(msg));
      show("comment text", zel_marlo_getPsdCommentDesc(msg));
      show("price", zel_marlo_getPsdCommercialPrice(msg));
      show("valid until", zel_marlo_getPsdCommentValidUntil(msg));
      show("seller", zel_marlo_getPsdCommentSellerName(msg));
      show("ufid owner", zel_marlo_getPsdUfidOwnerId(msg));
      if (zel_marlo_getPsdUfidIdentifierSize(msg) > 0)
        printf("  %-20s %u bytes\n", "ufid", (unsigned)zel_marlo_getPsdUfidIdentifierSize(msg));
    }
  }
  fflush(stdout);
  zel_marlo_deletePsdMsg(msg);
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: %s PORT [COUNT [ADDRESS]]\n", argv[0]);
    return 2;
  }
  const int port = atoi(argv[1]);
  const long count = argc > 2 ? atol(argv[2]) : -1; /* -1: without end */
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (port < 0 || port > 65535 || (argc > 3 && inet_pton(AF_INET, argv[3], &addr.sin_addr) != 1)) {
    fprintf(stderr, "%s: bad port or address\n", argv[0]);
    return 2;
  }

  /* The socket is ours: bound once, for the whole run. */
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  socklen_t addrLen = sizeof addr;
  if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 ||
      getsockname(fd, (struct sockaddr *)&addr, &addrLen) != 0) {
    perror("socket");
    return 1;
  }
  char shown[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &addr.sin_addr, shown, sizeof shown);
  printf("listening on %s:%u\n", shown, (unsigned)ntohs(addr.sin_port));
  fflush(stdout);

  /* One datagram is one packet. The library takes packets of up to 32 KiB; a bigger buffer
   * lets a datagram that is too long show up as such instead of cut short. */
  static uint8_t datagram[65536];
  for (long n = 0; count < 0 || n < count; ++n) {
    const ssize_t got = recv(fd, datagram, sizeof datagram, 0);
    if (got < 0) {
      perror("recv");
      close(fd);
      return 1;
    }
    handle_datagram(datagram, (uint32_t)got);
  }
  close(fd);
  return 0;
}
