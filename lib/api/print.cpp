// SPDX-License-Identifier: GPL-2.0-or-later
// Exported functions: the message as labelled text.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "api/handle.hpp"

using zel::Msg;
using zel::PsdContent;
using zel::Text;

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
constexpr Line kCommercialLines[] = {
    {"commercial price: -->", &PsdContent::price},
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

char *sprintMessage(Msg &msg, uint8_t enabledOnly) {
  const PsdContent &c = msg.content;
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
    zel::reportPsdError(msg, E_SYSTEM, 3134, "malloc print buffer failed in sprint msg %s", "");
    return nullptr;
  }
  std::memcpy(out, result.data(), result.size());
  out[result.size()] = '\0';
  return out;
}

}  // namespace

extern "C" {

ZEL_MARLO_API char *zel_marlo_sprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, uint8_t enabledOnly) {
  return zel::apiValue(psdMsg, 2994, static_cast<char *>(nullptr),
                       [&](Msg &msg) { return sprintMessage(msg, enabledOnly); });
}

ZEL_MARLO_API int32_t zel_marlo_fprintPsdMsg(ZEL_MARLO_PSD_MSG_t *psdMsg, FILE *stream,
                                             uint8_t enabledOnly) {
  return zel::apiStatus(psdMsg, 3154, [&](Msg &msg) {
    char *text = sprintMessage(msg, enabledOnly);
    if (text == nullptr) return false;
    uint32_t length = 0;
    if (zel_marlo_getPsdMsgLength(psdMsg, &length) != ZEL_MARLO_SUCCESS) {
      std::free(text);
      return false;
    }
    const std::time_t now = std::time(nullptr);
    const char *when = std::ctime(&now);  // "Wed Jun 30 21:49:08 1993\n"
    FILE *out = stream != nullptr ? stream : stdout;
    std::fprintf(out, "PSD message of length %d bytes printed on %s%s\n", static_cast<int>(length),
                 when != nullptr ? when : "\n", text);
    std::fflush(out);
    std::free(text);
    return true;
  });
}

}  // extern "C"
