// SPDX-License-Identifier: GPL-2.0-or-later
// Instruction-count driver of marlod's work per update, in process: one item through the text
// road (render, fit, load) and the library's encoding (createPsdMsg, sendPsdMsgToBuffer), as
// the bridge does for a new item at an exciter. Every run has a title of its own. Read by
// bench/icount.py beside bench/icount.
//
//   valgrind --tool=callgrind --collect-atstart=no build/bench/icount_bridge [N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/icount.hpp"
#include "config.hpp"
#include "item.hpp"
#include "text.hpp"
#include "zel_marlo.h"

namespace {

marlod::Item item(std::string title, std::string artist, std::string album) {
  marlod::Item it;
  it.text["title"] = std::move(title);
  it.text["artist"] = std::move(artist);
  it.text["album"] = std::move(album);
  it.duration = 215.5;
  return it;
}

// One update: what the bridge does for a new item and one exciter of the given encoding.
bool update(const marlod::TextRoad &road, ZEL_MARLO_PSD_MSG_t *handle, const marlod::Item &it,
            marlod::Encoding encoding, int contentId) {
  const marlod::Rendered rendered = road.render(it);
  const marlod::Fitted fitted = road.fit(rendered, encoding);
  std::string why;
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  bool ok = marlod::TextRoad::load(handle, fitted, rendered, &why) &&
            zel_marlo_createPsdMsg(handle, contentId) == ZEL_MARLO_SUCCESS &&
            zel_marlo_sendPsdMsgToBuffer(handle, &buffer, &length, ZEL_MARLO_VESK_TYPE_AFL_CL,
                                         ZEL_MARLO_MSG_ID_PSD) == ZEL_MARLO_SUCCESS;
  std::free(buffer);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 100;
  marlod::Config config;
  config.path = "icount_bridge";
  config.station = "Bench FM";
  config.exciters.push_back({"127.0.0.1"});
  const marlod::TextRoad road(config);  // the transliterator is made and warmed up here
  ZEL_MARLO_PSD_MSG_t *handle = nullptr;
  if (zel_marlo_allocPsdMsg(&handle) != ZEL_MARLO_SUCCESS) return 1;

  // Items of their own per run, made before counting: a pop title in ASCII and accents
  // (sent as Latin-1 under "auto"), and a Cyrillic one transliterated for a Latin-1 exciter.
  std::vector<marlod::Item> plain, cyrillic;
  for (int i = 0; i <= n; ++i) {
    plain.push_back(item("Song number " + std::to_string(i) + " (Radio Edit)",
                         "Beyoncé & The Bench Players", "Measured Live at the Café"));
    cyrillic.push_back(
        item("Симфония № " + std::to_string(i) + " до минор", "Дмитрий Шостакович", "Избранное"));
  }
  // A warm-up of every path, and a check that the updates go through.
  if (!update(road, handle, plain[n], marlod::Encoding::automatic, 1) ||
      !update(road, handle, cyrillic[n], marlod::Encoding::latin1, 1)) {
    std::printf("an update fails: %s\n", zel_marlo_getErrorStr(handle));
    return 1;
  }

  int i = 0;
  measure("bridge_update", n,
          [&] { update(road, handle, plain[i % n], marlod::Encoding::automatic, i), ++i; });
  i = 0;
  measure("bridge_translit", n,
          [&] { update(road, handle, cyrillic[i % n], marlod::Encoding::latin1, i), ++i; });

  zel_marlo_deletePsdMsg(handle);
  return 0;
}
