// SPDX-License-Identifier: GPL-2.0-or-later
// The state of the air: which message is on air at every exciter, since when, until when, and
// what replaces it. Inputs deliver items here; timers refresh, expire and fall back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.hpp"
#include "event.hpp"
#include "exciter.hpp"
#include "http.hpp"
#include "inputs.hpp"
#include "log.hpp"
#include "text.hpp"
#include "zel_marlo.h"

namespace marlod {

// The message on air.
struct OnAir {
  Rendered rendered;
  Item item;              // what it was rendered from (not for the fallback)
  std::string id, start;  // with the text, what makes an item new
  uint16_t content_id = 0;
  bool fallback = false;
  bool flush = false;  // an empty fallback: a flush and no text
  bool known_duration = false;
  uint64_t since_wall = 0;
  uint64_t expires_mono = 0, expires_wall = 0;  // 0: never (the fallback)
};

// What became of one input event.
struct Outcome {
  enum Kind { on_air, repeat, ending, skipped } kind = skipped;
  std::string reason;  // with skipped: invalid, ignored, empty, short, group
};

class Bridge : public InputSink, public HttpHandler {
 public:
  Bridge(sd_event *loop, Log &log, Config config, bool dry_run);
  ~Bridge() override;

  // Resolves the exciters, opens the inputs, resumes or falls back, and sends. Throws
  // std::runtime_error when an input or the HTTP side cannot start.
  void start();
  // SIGHUP: a new configuration, or the old one kept when the new one is broken.
  void reload();
  // SIGTERM, SIGINT: nothing more is sent; the state is written.
  void stop();

  Outcome take(const Item &item, InputStats &stats);

  // InputSink
  void deliver(const Parsed &parsed, InputStats &stats) override;
  void feed_reconnected() override { ++feed_reconnects_; }

  // HttpHandler
  nlohmann::json status() override;
  std::string metrics() override;
  nlohmann::json now_playing(const Item &item, int *code) override;
  void log_warning(const std::string &text) override { log_.warning(text); }
  void invalid_item(const std::string &why) override;

 private:
  struct Encoded {
    Fitted fitted;
    nlohmann::json decoded;  // the fields as a receiver decodes them
    std::map<PacketKind, Bytes> packets;
  };

  void open_inputs(const Config *old);
  void put_on_air(OnAir next, const char *why);
  void fall_back(const char *why);
  void encode_on_air();
  const Encoded &encoded_for(Encoding encoding);
  void send_all(bool first);
  void send_to(Exciter &exciter, bool first);
  void refresh();
  void expire();
  void end_of_item();
  void silence();
  void rearm_silence();
  uint16_t next_content_id();
  void mark_dirty();
  void write_state();
  bool resume_state();
  void notify_status();
  nlohmann::json fields_json(const Fields &fields) const;
  std::vector<const InputStats *> input_stats();  // every open input's, the HTTP side's too
  void count_skip(InputStats &stats, const std::string &reason, const std::string &line);

  sd_event *loop_;
  Log &log_;
  Config config_;
  bool dry_run_;
  std::unique_ptr<TextRoad> text_;
  ZEL_MARLO_PSD_MSG_t *handle_ = nullptr;   // encodes what goes on air
  ZEL_MARLO_PSD_MSG_t *decoder_ = nullptr;  // reads it back as a receiver would
  std::vector<std::unique_ptr<Exciter>> exciters_;
  std::unique_ptr<Input> json_udp_, json_tcp_, stdin_, rivendell_, file_;
  InputStats http_stats_;
  std::unique_ptr<HttpServer> http_;

  std::optional<OnAir> on_air_;
  std::map<Encoding, Encoded> encoded_;
  std::map<PacketKind, Bytes> flush_packets_;
  uint32_t counter_ = 0;
  bool stopped_ = false;

  Timer refresh_, expiry_, end_, silence_, state_timer_;
  uint64_t last_state_write_mono_ = 0;
  bool dirty_ = false;
  uint64_t started_wall_, started_mono_;

  uint64_t items_total_ = 0, feed_reconnects_ = 0;
  std::map<std::string, uint64_t> skipped_by_reason_;
};

}  // namespace marlod
