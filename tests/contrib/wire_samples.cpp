// SPDX-License-Identifier: GPL-2.0-or-later
// Writes what the library puts on the wire into a file, for the tests of the protocol
// description and of the capture dissector:
//
//   wire_samples packet FILE KIND MSGID [key=value ...]   a packet from
//   zel_marlo_sendPsdMsgToBuffer wire_samples tag FILE [key=value ...]                 the bare ID3
//   tag (what sendRawPsdMsg sends)
//
// KIND is 0 (two-layer) or 1 (CL only), MSGID 0 (PSD message, created first) or 1 (flush).
// Keys: enc id core comment commercial ufid title artist album genre ctitle cdesc price until
// url recvas seller product owner ident (ident in hex). A text is passed on byte for byte; the
// commercial fields go in together, as do the two comment fields.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "zel_marlo.h"

namespace {

int usage(const char *program) {
  std::fprintf(stderr,
               "usage: %s packet FILE KIND MSGID [key=value ...]\n"
               "       %s tag FILE [key=value ...]\n",
               program, program);
  return 2;
}

bool writeFile(const char *path, const uint8_t *bytes, uint32_t length) {
  FILE *f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes, 1, length, f) == length;
  return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> fromHex(const std::string &hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return bytes;
}

// The value of key, or nullptr when it was not given.
const char *get(const std::map<std::string, std::string> &values, const char *key) {
  const auto it = values.find(key);
  return it == values.end() ? nullptr : it->second.c_str();
}

// Fills msg from the key=value arguments; false (with a message) for an unknown key or a
// failed call.
bool fill(ZEL_MARLO_PSD_MSG_t *msg, int argc, char **argv, int32_t &contentId) {
  static const char *const kKeys[] = {"enc",    "id",     "core",    "comment", "commercial",
                                      "ufid",   "title",  "artist",  "album",   "genre",
                                      "ctitle", "cdesc",  "price",   "until",   "url",
                                      "recvas", "seller", "product", "owner",   "ident"};
  std::map<std::string, std::string> values;
  for (int i = 0; i < argc; ++i) {
    const char *eq = std::strchr(argv[i], '=');
    const std::string key = eq != nullptr ? std::string(argv[i], static_cast<size_t>(eq - argv[i]))
                                          : std::string(argv[i]);
    bool known = false;
    for (const char *k : kKeys) known = known || key == k;
    if (eq == nullptr || !known) {
      std::fprintf(stderr, "unknown argument '%s'\n", argv[i]);
      return false;
    }
    values[key] = eq + 1;
  }

  bool ok = true;
  const auto flag = [&](const char *key) {
    return static_cast<uint8_t>(std::atoi(get(values, key)));
  };
  if (get(values, "enc"))
    ok = ok && zel_marlo_setId3TextEncoding(msg, std::atoi(get(values, "enc"))) == 1;
  if (get(values, "core")) ok = ok && zel_marlo_enablePsdCore(msg, flag("core")) == 1;
  if (get(values, "comment")) ok = ok && zel_marlo_enablePsdComment(msg, flag("comment")) == 1;
  if (get(values, "commercial"))
    ok = ok && zel_marlo_enablePsdCommercial(msg, flag("commercial")) == 1;
  if (get(values, "ufid")) ok = ok && zel_marlo_enablePsdUfid(msg, flag("ufid")) == 1;
  ok = ok && zel_marlo_setPsdTitle(msg, get(values, "title")) == 1;
  ok = ok && zel_marlo_setPsdArtist(msg, get(values, "artist")) == 1;
  ok = ok && zel_marlo_setPsdAlbum(msg, get(values, "album")) == 1;
  ok = ok && zel_marlo_setPsdGenre(msg, get(values, "genre")) == 1;
  if (get(values, "ctitle") || get(values, "cdesc"))
    ok = ok && zel_marlo_setPsdComment(msg, get(values, "ctitle"), get(values, "cdesc")) == 1;
  if (get(values, "price"))
    ok = ok && zel_marlo_setPsdCommercial(msg, get(values, "price"), get(values, "until"),
                                          get(values, "url"), get(values, "recvas"),
                                          get(values, "seller"), get(values, "product")) == 1;
  if (get(values, "owner")) {
    const std::vector<uint8_t> ident = fromHex(get(values, "ident") ? get(values, "ident") : "");
    ok = ok && zel_marlo_setPsdUfid(msg, get(values, "owner"), ident.data(),
                                    static_cast<uint32_t>(ident.size())) == 1;
  }
  contentId = get(values, "id") ? std::atoi(get(values, "id")) : 0;
  if (!ok) std::fprintf(stderr, "setting the message failed\n");
  return ok;
}

void report(ZEL_MARLO_PSD_MSG_t *msg, const char *what) {
  const char *text = zel_marlo_getErrorStr(msg);
  std::fprintf(stderr, "%s failed: %s\n", what, text != nullptr ? text : "(no report)");
}

int packet(ZEL_MARLO_PSD_MSG_t *msg, const char *path, int argc, char **argv) {
  const int32_t kind = std::atoi(argv[0]);
  const int32_t msgId = std::atoi(argv[1]);
  int32_t contentId = 0;
  if (!fill(msg, argc - 2, argv + 2, contentId)) return 1;
  if (msgId == ZEL_MARLO_MSG_ID_PSD && zel_marlo_createPsdMsg(msg, contentId) != 1) {
    report(msg, "zel_marlo_createPsdMsg");
    return 1;
  }
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  const int32_t rc = zel_marlo_sendPsdMsgToBuffer(msg, &buffer, &length, kind, msgId);
  const bool ok = rc == 1 && writeFile(path, buffer, length);
  std::free(buffer);
  if (!ok) report(msg, "zel_marlo_sendPsdMsgToBuffer");
  return ok ? 0 : 1;
}

int tag(ZEL_MARLO_PSD_MSG_t *msg, const char *path, int argc, char **argv) {
  int32_t contentId = 0;
  if (!fill(msg, argc, argv, contentId)) return 1;
  ZEL_MARLO_ID3_PSD_MSG_t *id3 = nullptr;
  if (zel_marlo_getId3PsdMsg(msg, &id3) != 1) {
    report(msg, "zel_marlo_getId3PsdMsg");
    return 1;
  }
  const bool ok = writeFile(path, id3->data, id3->length);
  zel_marlo_freeId3PsdMsg(id3);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage(argv[0]);
  const std::string mode = argv[1];
  if ((mode != "packet" || argc < 5) && mode != "tag") return usage(argv[0]);

  ZEL_MARLO_PSD_MSG_t *msg = nullptr;
  if (zel_marlo_allocPsdMsg(&msg) != 1) return 1;
  const int rc = mode == "packet" ? packet(msg, argv[2], argc - 3, argv + 3)
                                  : tag(msg, argv[2], argc - 3, argv + 3);
  zel_marlo_deletePsdMsg(msg);
  return rc;
}
