// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge_names.hpp"

#include <cstdlib>
#include <sstream>

#include "event.hpp"
#include "zel_marlo.h"

namespace marlod {

const char *encoding_name(Encoding e) {
  switch (e) {
    case Encoding::latin1:
      return "latin1";
    case Encoding::utf16:
      return "utf16";
    case Encoding::utf8:
      return "utf8";
    case Encoding::automatic:
      break;
  }
  return "auto";
}

const char *id3_encoding_name(int id3) {
  switch (id3) {
    case ZEL_MARLO_ID3_ENC_ISO_8859_1:
      return "latin1";
    case ZEL_MARLO_ID3_ENC_UTF_16:
      return "utf16";
    case ZEL_MARLO_ID3_ENC_UTF_16BE:
      return "utf16be";
  }
  return "utf8";
}

const char *packet_name(PacketKind k) { return k == PacketKind::cl ? "cl" : "two-layer"; }

int32_t vesk_type(PacketKind k) {
  return k == PacketKind::cl ? ZEL_MARLO_VESK_TYPE_CL : ZEL_MARLO_VESK_TYPE_AFL_CL;
}

// Latin-1 bytes as UTF-8 (every byte is its own code point).
std::string latin1_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A text the library handed out, as UTF-8, released.
std::string take_text(char *text, bool latin1) {
  if (!text) return {};
  std::string value = latin1 ? latin1_to_utf8(text) : std::string(text);
  std::free(text);
  return value;
}

nlohmann::json iso_or_null(uint64_t wall) {
  return wall ? nlohmann::json(iso_time(wall)) : nlohmann::json(nullptr);
}

// A label value of the Prometheus text format.
std::string label(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string describe(const Fields &f) {
  std::string text = "\"" + f.title + "\"";
  if (!f.artist.empty()) text += " by \"" + f.artist + "\"";
  return text;
}

std::string seconds_text(double seconds) {
  std::ostringstream text;
  text << seconds;
  return text.str();
}

}  // namespace marlod
