// SPDX-License-Identifier: GPL-2.0-or-later
// What the HTTP side shows of the bridge: /status, /metrics and the answer to /nowplaying.
#include <sys/random.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bridge.hpp"
#include "bridge_names.hpp"

namespace marlod {

// ---- What the HTTP side shows -------------------------------------------------------------

std::vector<const InputStats *> Bridge::input_stats() {
  std::vector<const InputStats *> all;
  for (Input *in : {json_udp_.get(), json_tcp_.get(), stdin_.get(), rivendell_.get(), file_.get()})
    if (in) all.push_back(&in->stats);
  if (http_) {
    http_stats_.address = config_.http.listen;
    http_stats_.connected = true;
    all.push_back(&http_stats_);
  }
  return all;
}

nlohmann::json Bridge::status() {
  uint64_t wall = wall_usec();
  uint64_t mono = now_usec(loop_);
  nlohmann::json s;
  s["version"] = ZEL_MARLO_VERSION_STRING;
  s["station"] = config_.station;
  s["started"] = iso_time(started_wall_);
  s["now"] = iso_time(wall);
  s["uptime_seconds"] = static_cast<double>(mono - started_mono_) / 1e6;
  if (on_air_) {
    nlohmann::json a;
    a["content_id"] =
        on_air_->flush ? nlohmann::json(nullptr) : nlohmann::json(on_air_->content_id);
    a["since"] = iso_time(on_air_->since_wall);
    a["expires"] = iso_or_null(on_air_->expires_wall);
    a["fallback"] = on_air_->fallback;
    a["flush"] = on_air_->flush;
    Encoding first = exciters_.empty() ? Encoding::automatic : exciters_.front()->config().encoding;
    const Encoded &e = encoded_for(first);
    const nlohmann::json &d = e.decoded;
    a["encoding"] = d.value("encoding", "");
    nlohmann::json fields = nlohmann::json::object();
    for (const char *k : {"title", "artist", "album", "genre", "comment_title", "comment"})
      fields[k] = d.value(k, "");
    a["fields"] = fields;
    a["commercial"] = d.contains("commercial") ? d["commercial"] : nlohmann::json(nullptr);
    a["ufid"] = d.contains("ufid") ? d["ufid"] : nlohmann::json(nullptr);
    s["on_air"] = a;
  } else {
    s["on_air"] = nullptr;
  }
  nlohmann::json inputs = nlohmann::json::array();
  for (const InputStats *st : input_stats()) {
    inputs.push_back({{"name", st->name},
                      {"kind", st->name},
                      {"address", st->address},
                      {"connected", st->connected},
                      {"last_event", iso_or_null(st->last_event_wall)},
                      {"last_event_age_seconds",
                       st->last_event_mono
                           ? nlohmann::json(static_cast<double>(mono - st->last_event_mono) / 1e6)
                           : nlohmann::json(nullptr)},
                      {"accepted", st->accepted},
                      {"skipped", st->skipped}});
  }
  s["inputs"] = inputs;
  nlohmann::json exciters = nlohmann::json::array();
  for (auto &ex : exciters_) {
    const ExciterConfig &c = ex->config();
    nlohmann::json on = nullptr;
    if (on_air_ && !on_air_->flush) {
      const Encoded &e = encoded_for(c.encoding);
      nlohmann::json fields = nlohmann::json::object();
      for (const char *k : {"title", "artist", "album", "genre", "comment_title", "comment"})
        fields[k] = e.decoded.value(k, "");
      on = {{"encoding", e.decoded.value("encoding", "")}, {"fields", fields}};
    }
    exciters.push_back({{"name", ex->name()},
                        {"host", c.host},
                        {"port", c.port},
                        {"address", ex->address()},
                        {"packet", packet_name(c.packet)},
                        {"encoding", encoding_name(c.encoding)},
                        {"delay_ms", c.delay_ms},
                        {"last_send", iso_or_null(ex->last_send_wall())},
                        {"last_error", ex->last_error().empty() ? nlohmann::json(nullptr)
                                                                : nlohmann::json(ex->last_error())},
                        {"last_error_at", iso_or_null(ex->last_error_wall())},
                        {"sends", ex->sends()},
                        {"errors", ex->errors()},
                        {"healthy", ex->healthy()},
                        {"on_air", on}});
  }
  s["exciters"] = exciters;
  nlohmann::json events = nlohmann::json::array();
  for (const Event &ev : log_.recent())
    events.push_back(
        {{"time", iso_time(ev.wall_usec)}, {"level", level_name(ev.level)}, {"text", ev.text}});
  s["events"] = events;
  return s;
}

std::string Bridge::metrics() {
  std::ostringstream m;
  uint64_t mono = now_usec(loop_);
  m << "# HELP marlod_items_total Messages put on air, fallbacks included.\n"
       "# TYPE marlod_items_total counter\n"
    << "marlod_items_total " << items_total_ << "\n";
  m << "# HELP marlod_sends_total Datagrams sent, per exciter.\n"
       "# TYPE marlod_sends_total counter\n";
  for (auto &e : exciters_)
    m << "marlod_sends_total{exciter=\"" << label(e->name()) << "\"} " << e->sends() << "\n";
  m << "# HELP marlod_send_errors_total Failed sends and refusals, per exciter.\n"
       "# TYPE marlod_send_errors_total counter\n";
  for (auto &e : exciters_)
    m << "marlod_send_errors_total{exciter=\"" << label(e->name()) << "\"} " << e->errors() << "\n";
  m << "# HELP marlod_skipped_total Input events that did not go on air, by reason.\n"
       "# TYPE marlod_skipped_total counter\n";
  for (const char *reason : kSkipReasons) {
    auto found = skipped_by_reason_.find(reason);
    m << "marlod_skipped_total{reason=\"" << reason << "\"} "
      << (found == skipped_by_reason_.end() ? 0 : found->second) << "\n";
  }
  m << "# HELP marlod_feed_reconnects_total Connections made to the playout feed again after a "
       "loss.\n"
       "# TYPE marlod_feed_reconnects_total counter\n"
    << "marlod_feed_reconnects_total " << feed_reconnects_ << "\n";
  double age = on_air_ ? static_cast<double>(wall_usec() - on_air_->since_wall) / 1e6 : 0.0;
  m << "# HELP marlod_on_air_age_seconds Seconds since the message on air went on air.\n"
       "# TYPE marlod_on_air_age_seconds gauge\n"
    << "marlod_on_air_age_seconds " << age << "\n";
  m << "# HELP marlod_fallback_on_air 1 while the fallback is on air.\n"
       "# TYPE marlod_fallback_on_air gauge\n"
    << "marlod_fallback_on_air " << (on_air_ && on_air_->fallback ? 1 : 0) << "\n";
  m << "# HELP marlod_input_idle_seconds Seconds since an input's last event (or since start).\n"
       "# TYPE marlod_input_idle_seconds gauge\n";
  for (const InputStats *st : input_stats()) {
    uint64_t since = st->last_event_mono ? st->last_event_mono : started_mono_;
    m << "marlod_input_idle_seconds{input=\"" << label(st->name) << "\"} "
      << static_cast<double>(mono - since) / 1e6 << "\n";
  }
  return m.str();
}

void Bridge::invalid_item(const std::string &why) {
  http_stats_.last_event_wall = wall_usec();
  http_stats_.last_event_mono = now_usec(loop_);
  rearm_silence();
  count_skip(http_stats_, "invalid", why);
}

nlohmann::json Bridge::now_playing(const Item &item, int *code) {
  *code = 200;
  Outcome outcome = take(item, http_stats_);
  if (outcome.kind == Outcome::skipped) return {{"skipped", outcome.reason}};
  nlohmann::json answer;
  answer["state"] = outcome.kind == Outcome::on_air   ? "on air"
                    : outcome.kind == Outcome::repeat ? "repeat"
                                                      : "ending";
  if (on_air_ && !on_air_->flush) {
    answer["content_id"] = on_air_->content_id;
    nlohmann::json per = nlohmann::json::array();
    for (auto &ex : exciters_) {
      const Encoded &e = encoded_for(ex->config().encoding);
      per.push_back({{"name", ex->name()}, {"title", e.decoded.value("title", "")}});
    }
    answer["exciters"] = per;
  }
  return answer;
}

}  // namespace marlod
