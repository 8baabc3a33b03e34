/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A program that uses an installed zel_marlo: one message through the packet buffers of both
 * kinds and back, and the version macros of the header it was compiled with. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zel_marlo.h>

#if !defined(ZEL_MARLO_VERSION_NUMBER) || ZEL_MARLO_VERSION_NUMBER < 40000
#error "zel_marlo.h without the version macros"
#endif
#if ZEL_MARLO_VERSION_NUMBER != \
    ZEL_MARLO_VERSION_MAJOR * 10000 + ZEL_MARLO_VERSION_MINOR * 100 + ZEL_MARLO_VERSION_PATCH
#error "ZEL_MARLO_VERSION_NUMBER does not match the parts"
#endif

static int roundTrip(ZEL_MARLO_VESK_TYPE_t kind) {
  ZEL_MARLO_PSD_MSG_t *tx = NULL, *rx = NULL;
  uint8_t *packet = NULL;
  uint32_t length = 0;
  ZEL_MARLO_MSG_ID_t id = -1;
  uint16_t contentId = 0;
  int ok = zel_marlo_allocPsdMsg(&tx) == ZEL_MARLO_SUCCESS &&
           zel_marlo_allocPsdMsg(&rx) == ZEL_MARLO_SUCCESS &&
           zel_marlo_setPsdTitle(tx, "Consumer Title") == ZEL_MARLO_SUCCESS &&
           zel_marlo_setPsdArtist(tx, "Consumer Artist") == ZEL_MARLO_SUCCESS &&
           zel_marlo_createPsdMsg(tx, 4242) == ZEL_MARLO_SUCCESS &&
           zel_marlo_sendPsdMsgToBuffer(tx, &packet, &length, kind, ZEL_MARLO_MSG_ID_PSD) ==
               ZEL_MARLO_SUCCESS &&
           zel_marlo_recvPsdMsgFromBuffer(rx, packet, length, kind, &id) == ZEL_MARLO_SUCCESS &&
           id == ZEL_MARLO_MSG_ID_PSD && zel_marlo_parsePsdMsg(rx, &contentId) == ZEL_MARLO_SUCCESS;
  char *title = ok ? zel_marlo_getPsdTitle(rx) : NULL;
  char *artist = ok ? zel_marlo_getPsdArtist(rx) : NULL;
  ok = ok && contentId == 4242 && title != NULL && strcmp(title, "Consumer Title") == 0 &&
       artist != NULL && strcmp(artist, "Consumer Artist") == 0;
  if (ok)
    printf("kind %d: %u bytes, content id %u, \"%s\"\n", (int)kind, (unsigned)length,
           (unsigned)contentId, title);
  free(title);
  free(artist);
  free(packet);
  if (rx != NULL) zel_marlo_deletePsdMsg(rx);
  if (tx != NULL) zel_marlo_deletePsdMsg(tx);
  return ok;
}

int main(void) {
  zel_marlo_enableErrorLog(1, stdout);
  if (!roundTrip(ZEL_MARLO_VESK_TYPE_AFL_CL) || !roundTrip(ZEL_MARLO_VESK_TYPE_CL)) {
    printf("round trip FAILED\n");
    return 1;
  }
  printf("round trip ok, header %s (%d)\n", ZEL_MARLO_VERSION_STRING, ZEL_MARLO_VERSION_NUMBER);
  return 0;
}
