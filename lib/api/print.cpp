// SPDX-License-Identifier: GPL-2.0-or-later
#include "api/print.hpp"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "api/handle.hpp"

namespace zel {

namespace {

// The text is built in a fixed working area: at most 4095 characters, the rest cut off.
class WorkingText {
 public:
  static constexpr size_t kCapacity = 4095;

  void append(std::string_view piece) {
    const size_t room = kCapacity - length_;
    const size_t n = piece.size() < room ? piece.size() : room;
    std::memcpy(buf_ + length_, piece.data(), n);
    length_ += n;
  }
  std::string_view view() const { return {buf_, length_}; }

 private:
  char buf_[kCapacity + 1];
  size_t length_ = 0;
};

struct Line {
  const char *label;
  Text PsdContent::*field;
};

constexpr Line kCoreLines[] = {{"title: -->", &PsdContent::title},
                               {"artist: -->", &PsdContent::artist},
                               {"album: -->", &PsdContent::album},
                               {"genre: -->", &PsdContent::genre}};
constexpr Line kCommentLines[] = {{"comment title: -->", &PsdContent::commentTitle}};
constexpr Line kCommercialLines[] = {{"commercial price: -->", &PsdContent::price},
                                     {"commercial valid until: -->", &PsdContent::validUntil},
                                     {"commercial contact url: -->", &PsdContent::contactUrl},
                                     {"commercial recv as: -->", &PsdContent::recvAs},
                                     {"commercial seller name: -->", &PsdContent::sellerName},
                                     {"commercial product desc: -->", &PsdContent::productDesc}};
constexpr Line kUfidLines[] = {{"ufid: owner id -->", &PsdContent::ufidOwnerId}};

template <size_t N>
void appendLines(WorkingText &text, const PsdContent &c, const Line (&lines)[N]) {
  for (const Line &line : lines) {
    const Text &value = c.*line.field;
    if (!value) continue;  // an empty value still gets its line
    text.append(line.label);
    text.append(*value);
    text.append("\n");
  }
}

}  // namespace

char *sprintMessage(Msg &msg, uint8_t enabledOnly) {
  const PsdContent &c = msg.content();
  auto on = [enabledOnly](uint8_t flag) { return enabledOnly != 1 || flag == 1; };

  WorkingText text;
  if (on(c.coreEnabled)) appendLines(text, c, kCoreLines);
  if (on(c.commentEnabled)) appendLines(text, c, kCommentLines);
  if (on(c.commercialEnabled)) appendLines(text, c, kCommercialLines);
  if (on(c.ufidEnabled)) {
    appendLines(text, c, kUfidLines);
    if (!c.ufidIdentifier.empty()) {
      text.append("ufid: identifier (least sig -- Most sig) -->");
      for (uint8_t byte : c.ufidIdentifier) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%x", byte);
        text.append(hex);
        text.append("::");
      }
      text.append("\n");
    }
  }
  std::string_view result = text.view();
  if (result.empty()) result = "PSD message contains no data!\n";

  auto *out = static_cast<char *>(std::malloc(result.size() + 1));
  if (out == nullptr) {
    reportPsdError(msg.error, E_SYSTEM, 3134, "malloc print buffer failed in sprint msg ");
    return nullptr;
  }
  std::memcpy(out, result.data(), result.size());
  out[result.size()] = '\0';
  return out;
}

}  // namespace zel
