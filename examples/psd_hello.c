/* SPDX-License-Identifier: GPL-2.0-or-later */
/* psd_hello: fill a PSD message through the C API of the shared library and read it back. */
#include <stdio.h>
#include <stdlib.h>

#include "zel_marlo.h"

static void show(const char *label, char *value) {
  printf("%-12s %s\n", label, value != NULL ? value : "(absent)");
  free(value); /* every text the library hands out is the caller's */
}

int main(void) {
  ZEL_MARLO_PSD_MSG_t *msg = NULL;
  const uint8_t id[4] = {0xDE, 0xAD, 0xBE, 0xEF};

  zel_marlo_enableErrorLog(1, stdout);
  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return 1;

  zel_marlo_setPsdTitle(msg, "Morning Show");
  zel_marlo_setPsdArtist(msg, "Studio 2");
  zel_marlo_setPsdAlbum(msg, "Live");
  zel_marlo_setPsdGenre(msg, "Talk");
  zel_marlo_enablePsdComment(msg, 1);
  zel_marlo_setPsdComment(msg, "Note", "Recorded live this morning");
  zel_marlo_enablePsdUfid(msg, 1);
  zel_marlo_setPsdUfid(msg, "http://example.org/ids", id, sizeof id);

  show("title", zel_marlo_getPsdTitle(msg));
  show("artist", zel_marlo_getPsdArtist(msg));
  show("album", zel_marlo_getPsdAlbum(msg));
  show("genre", zel_marlo_getPsdGenre(msg));
  show("comment", zel_marlo_getPsdCommentDesc(msg));
  show("ufid owner", zel_marlo_getPsdUfidOwnerId(msg));
  printf("%-12s %u bytes\n", "ufid id", (unsigned)zel_marlo_getPsdUfidIdentifierSize(msg));

  zel_marlo_deletePsdMsg(msg);
  return 0;
}
