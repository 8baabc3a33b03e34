// SPDX-License-Identifier: GPL-2.0-or-later
// A stand-in bridge for the HTTP tests: the real HttpServer in an sd-event loop with a fake
// handler, and a 50 ms timer whose lateness it reports in /status, so that a test sees whether
// a client ever stalled the loop.
//
//   http_stand_in --listen ADDRESS:PORT [--secret SECRET]   serve until SIGTERM or SIGINT
//   http_stand_in --health ADDRESS:PORT                     marlod --health against it
//
// Items: the title goes on air with the next content ID; group "break" makes the second exciter
// fail, group "mend" heals it; {"clear": true} puts the fallback on air.
#include <signal.h>
#include <systemd/sd-event.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "http.hpp"

namespace {

std::string iso_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  gmtime_r(&ts.tv_sec, &t);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
  return text;
}

nlohmann::json or_null(const std::string &s) {
  return s.empty() ? nlohmann::json() : nlohmann::json(s);
}

class FakeBridge : public marlod::HttpHandler {
 public:
  uint64_t ticks = 0;
  double max_late_ms = 0;
  std::string started = iso_now();

  nlohmann::json status() override {
    nlohmann::json exciters = nlohmann::json::array();
    for (int i = 0; i < 2; ++i) {
      bool healthy = i == 0 || !broken_;
      nlohmann::json title = on_air_.is_null() ? nlohmann::json() : on_air_["fields"]["title"];
      exciters.push_back(
          {{"name", "127.0.0.1:1100" + std::to_string(i)},
           {"host", "127.0.0.1"},
           {"port", 11000 + i},
           {"address", "127.0.0.1:1100" + std::to_string(i)},
           {"packet", "two-layer"},
           {"encoding", "latin1"},
           {"delay_ms", i * 250},
           {"last_send", or_null(last_send_)},
           {"last_error", healthy ? nlohmann::json() : nlohmann::json("Connection refused")},
           {"last_error_at", healthy ? nlohmann::json() : or_null(last_send_)},
           {"sends", ticks / 20 + items_},
           {"errors", healthy ? 0 : ticks / 20},
           {"healthy", healthy},
           {"on_air", on_air_.is_null() ? nlohmann::json()
                                        : nlohmann::json{{"encoding", "latin1"},
                                                         {"fields", {{"title", title}}}}}});
    }
    return {{"version", "0.0-stand-in"},
            {"station", "Stand-in FM"},
            {"started", started},
            {"now", iso_now()},
            {"uptime_seconds", ticks / 20},
            {"on_air", on_air_},
            {"inputs",
             {{{"name", "http"},
               {"kind", "http"},
               {"address", nullptr},
               {"connected", true},
               {"last_event", or_null(last_send_)},
               {"last_event_age_seconds", nullptr},
               {"accepted", items_},
               {"skipped", skipped_}}}},
            {"exciters", exciters},
            {"events", nlohmann::json(events_)},
            {"stand_in", {{"ticks", ticks}, {"max_late_ms", max_late_ms}}}};
  }

  std::string metrics() override {
    std::string m;
    m += "# HELP marlod_items_total Items put on air.\n# TYPE marlod_items_total counter\n";
    m += "marlod_items_total " + std::to_string(items_) + "\n";
    m += "# HELP marlod_sends_total Messages sent per exciter.\n"
         "# TYPE marlod_sends_total counter\n";
    for (int i = 0; i < 2; ++i)
      m += "marlod_sends_total{exciter=\"127.0.0.1:1100" + std::to_string(i) + "\"} " +
           std::to_string(ticks / 20 + items_) + "\n";
    m += "# HELP marlod_skipped_total Input events skipped.\n# TYPE marlod_skipped_total counter\n";
    m += "marlod_skipped_total{reason=\"empty\"} " + std::to_string(skipped_) + "\n";
    m += "# HELP marlod_fallback_on_air Whether the fallback is on air.\n"
         "# TYPE marlod_fallback_on_air gauge\n";
    m += std::string("marlod_fallback_on_air ") +
         (!on_air_.is_null() && on_air_["fallback"].get<bool>() ? "1" : "0") + "\n";
    m += "# HELP marlod_on_air_age_seconds Age of the message on air.\n"
         "# TYPE marlod_on_air_age_seconds gauge\n";
    m += "marlod_on_air_age_seconds " + std::to_string(ticks / 20.0) + "\n";
    return m;
  }

  nlohmann::json now_playing(const marlod::Item &item, int *code) override {
    *code = 200;
    if (!item.clear && item.get("title").empty() && item.get("artist").empty()) {
      ++skipped_;
      return {{"skipped", "empty title and artist"}};
    }
    if (item.get("group") == "break") broken_ = true;
    if (item.get("group") == "mend") broken_ = false;
    ++items_;
    ++content_id_;
    last_send_ = iso_now();
    std::string title = item.clear ? "Stand-in FM" : std::string(item.get("title"));
    nlohmann::json commercial;
    if (!item.get("comment").empty())
      commercial = {{"price", "EUR9.99"},
                    {"valid_until", "20271231"},
                    {"contact_url", "https://example.org/"},
                    {"received_as", 0},
                    {"seller", std::string(item.get("comment"))},
                    {"description", ""}};
    on_air_ = {{"content_id", content_id_},
               {"since", last_send_},
               {"expires", nullptr},
               {"fallback", item.clear},
               {"flush", false},
               {"encoding", "latin1"},
               {"fields",
                {{"title", title},
                 {"artist", std::string(item.get("artist"))},
                 {"album", std::string(item.get("album"))},
                 {"genre", ""},
                 {"comment_title", ""},
                 {"comment", std::string(item.get("comment"))}}},
               {"commercial", commercial},
               {"ufid", item.get("isrc").empty()
                            ? nlohmann::json()
                            : nlohmann::json{{"owner", "https://example.org/isrc"},
                                             {"identifier", std::string(item.get("isrc"))}}}};
    event("info", "item on air (content ID " + std::to_string(content_id_) + "): " + title);
    return {{"content_id", content_id_},
            {"exciters",
             {{{"name", "127.0.0.1:11000"}, {"title", title}},
              {{"name", "127.0.0.1:11001"}, {"title", title}}}}};
  }

  void log_warning(const std::string &text) override {
    std::fprintf(stderr, "%s\n", text.c_str());
    event("warning", text);
  }

 private:
  void event(const char *level, const std::string &text) {
    events_.push_back({{"time", iso_now()}, {"level", level}, {"text", text}});
    if (events_.size() > 50) events_.pop_front();
  }

  nlohmann::json on_air_;  // null: nothing on air yet
  std::deque<nlohmann::json> events_;
  std::string last_send_;
  uint64_t items_ = 0, skipped_ = 0;
  int content_id_ = 100;
  bool broken_ = false;
};

constexpr uint64_t kTickUs = 50000;

int on_tick(sd_event_source *source, uint64_t due, void *userdata) {
  auto *bridge = static_cast<FakeBridge *>(userdata);
  uint64_t now = 0;
  sd_event_now(sd_event_source_get_event(source), CLOCK_MONOTONIC, &now);
  double late = now > due ? (now - due) / 1000.0 : 0;
  if (late > bridge->max_late_ms) bridge->max_late_ms = late;
  ++bridge->ticks;
  sd_event_source_set_time(source, due + kTickUs);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  marlod::Config config;
  config.path = "(stand-in)";
  bool health = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--listen")
      config.http.listen = argv[i + 1];
    else if (opt == "--health")
      health = true, config.http.listen = argv[i + 1];
    else if (opt == "--secret")
      config.http.secret = argv[i + 1];
  }
  if (config.http.listen.empty()) {
    std::fprintf(stderr,
                 "usage: http_stand_in --listen ADDRESS:PORT [--secret S] | --health "
                 "ADDRESS:PORT\n");
    return 2;
  }
  if (health) return marlod::health_check(config);

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  sd_event *loop = nullptr;
  sd_event_default(&loop);
  sd_event_add_signal(loop, nullptr, SIGTERM, nullptr, nullptr);
  sd_event_add_signal(loop, nullptr, SIGINT, nullptr, nullptr);

  FakeBridge bridge;
  uint64_t now = 0;
  sd_event_now(loop, CLOCK_MONOTONIC, &now);
  sd_event_source *tick = nullptr;
  sd_event_add_time(loop, &tick, CLOCK_MONOTONIC, now + kTickUs, 1000, &on_tick, &bridge);
  sd_event_source_set_enabled(tick, SD_EVENT_ON);
  try {
    marlod::HttpServer server(loop, config.http, bridge);
    std::printf("listening on %s\n", config.http.listen.c_str());
    std::fflush(stdout);
    int r = sd_event_loop(loop);
    sd_event_source_unref(tick);
    sd_event_unref(loop);
    return r < 0 ? 1 : 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
