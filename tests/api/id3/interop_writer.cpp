// SPDX-License-Identifier: GPL-2.0-or-later
// Writes one ID3 file per text encoding into the directory named on the command line, for an
// independent ID3 implementation to read (check_with_mutagen.py knows the values), and one file
// per genre that begins with "(" (zel_genre0.id3 ...; encoding 0 for even, 1 for odd numbers).
#include <cstdio>
#include <string>

#include "api/zel_marlo.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const uint8_t identifier[] = {0x00, 0x01, 0xFE, 0xFF};
  for (int32_t encoding = 0; encoding <= 3; ++encoding) {
    ZEL_MARLO_PSD_MSG_t *msg = nullptr;
    if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return 1;
    zel_marlo_setId3TextEncoding(msg, encoding);
    // ISO-8859-1 bytes for encoding 0, UTF-8 for the others.
    zel_marlo_setPsdTitle(
        msg, encoding == 0 ? "Caf\xE9" : "\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80");
    zel_marlo_setPsdArtist(msg, "Artist");
    zel_marlo_setPsdAlbum(msg, "Album");
    zel_marlo_setPsdGenre(msg, "Rock");
    zel_marlo_enablePsdComment(msg, 1);
    zel_marlo_setPsdComment(msg, "Note", "two\nlines");
    zel_marlo_enablePsdCommercial(msg, 1);
    zel_marlo_setPsdCommercial(msg, "USD10.0", "20041231", "http://shop.example", "2",
                               encoding == 0 ? "Sell\xE9r" : "Sell\xC3\xA9r", "Product");
    zel_marlo_enablePsdUfid(msg, 1);
    zel_marlo_setPsdUfid(msg, "http://zel.example/ufid", identifier, sizeof identifier);
    const std::string path = std::string(argv[1]) + "/zel_enc" + std::to_string(encoding) + ".id3";
    const int32_t saved = zel_marlo_saveId3PsdFile(msg, path.c_str());
    if (saved != ZEL_MARLO_SUCCESS) std::fprintf(stderr, "%s\n", zel_marlo_getErrorStr(msg));
    zel_marlo_deletePsdMsg(msg);
    if (saved != ZEL_MARLO_SUCCESS) return 1;
  }
  const char *genres[] = {"(Live) Jazz", "(12)Talk", "((x", "("};
  for (int i = 0; i < 4; ++i) {
    ZEL_MARLO_PSD_MSG_t *msg = nullptr;
    if (zel_marlo_allocPsdMsg(&msg) != ZEL_MARLO_SUCCESS) return 1;
    zel_marlo_setId3TextEncoding(msg, i % 2);
    zel_marlo_setPsdGenre(msg, genres[i]);
    const std::string path = std::string(argv[1]) + "/zel_genre" + std::to_string(i) + ".id3";
    const int32_t saved = zel_marlo_saveId3PsdFile(msg, path.c_str());
    zel_marlo_deletePsdMsg(msg);
    if (saved != ZEL_MARLO_SUCCESS) return 1;
  }
  return 0;
}
