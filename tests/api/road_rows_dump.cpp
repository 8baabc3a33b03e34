// SPDX-License-Identifier: GPL-2.0-or-later
// Writes the two-layer datagrams of the receive road's table into a folder, for the test that
// sends them to marlorx: one file per row (NN.bin) and index.tsv with, per line, the file, the
// stage where the road stops (unpack, parse, taken), the error number, the VESK site or report
// number, the message id and the row's name.
#include <cstdio>
#include <string>

#include "receive_road_table.hpp"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  FILE *index = std::fopen((dir + "/index.tsv").c_str(), "w");
  if (index == nullptr) return 1;
  int n = 0;
  for (const zel::road::Row &row : zel::road::receiveRoadRows()) {
    if (!(row.kinds & zel::road::kTwoLayer)) continue;
    const zel::road::Bytes datagram = row.datagram(ZEL_MARLO_VESK_TYPE_AFL_CL);
    char name[16];
    std::snprintf(name, sizeof name, "%02d.bin", n++);
    FILE *out = std::fopen((dir + "/" + name).c_str(), "wb");
    if (out == nullptr) return 1;
    if (!datagram.empty()) std::fwrite(datagram.data(), 1, datagram.size(), out);
    std::fclose(out);
    static const char *const kStages[] = {"unpack", "parse", "taken"};
    std::fprintf(index, "%s\t%s\t%d\t%d\t%d\t%s\n", name,
                 kStages[static_cast<int>(row.outcome.stage)], row.outcome.errorNum,
                 row.outcome.site, row.outcome.msgId, row.name.c_str());
  }
  std::fclose(index);
  std::printf("%d datagrams\n", n);
  return 0;
}
