/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The exported header, compiled as C and linked against the shared library. */
#include <stdlib.h>
#include <string.h>

#include "zel_marlo.h"

int main(void) {
  ZEL_MARLO_PSD_MSG_t *msg = NULL;
  char *title;
  uint8_t id[3] = {1, 0, 2};
  int ok;

  if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return 1;
  zel_marlo_setPsdTitle(msg, "From C");
  zel_marlo_setPsdUfid(msg, "owner", id, sizeof id);
  title = zel_marlo_getPsdTitle(msg);
  ok = title != NULL && strcmp(title, "From C") == 0 && zel_marlo_isPsdCoreEnabled(msg) == 1 &&
       zel_marlo_getPsdUfidIdentifierSize(msg) == 3 && zel_marlo_getErrorNum(msg) == 0;
  free(title);
  zel_marlo_deletePsdMsg(msg);
  return ok ? 0 : 1;
}
