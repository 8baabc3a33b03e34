// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge across restarts and reloads: the state file, SIGHUP and the stop.
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

// ---- The state file -----------------------------------------------------------------------

static std::string state_file_path(const Config &config) {
  if (!config.state_path.empty()) return config.state_path;
  // systemd's StateDirectory= names the folder it made for us.
  const char *dir = std::getenv("STATE_DIRECTORY");
  if (dir && *dir) {
    std::string first(dir);
    return first.substr(0, first.find(':')) + "/state.json";
  }
  return {};
}

void Bridge::mark_dirty() {
  dirty_ = true;
  if (state_timer_.armed()) return;
  // At most one write a second.
  uint64_t now = now_usec(loop_);
  uint64_t earliest = last_state_write_mono_ ? last_state_write_mono_ + 1000000u : now;
  state_timer_.at(std::max(now, earliest));
}

static nlohmann::json fields_to_json(const Fields &f) {
  return {{"title", f.title},
          {"artist", f.artist},
          {"album", f.album},
          {"genre", f.genre},
          {"comment_title", f.comment_title},
          {"comment", f.comment}};
}

static Fields fields_from_json(const nlohmann::json &j) {
  Fields f;
  f.title = j.value("title", "");
  f.artist = j.value("artist", "");
  f.album = j.value("album", "");
  f.genre = j.value("genre", "");
  f.comment_title = j.value("comment_title", "");
  f.comment = j.value("comment", "");
  return f;
}

nlohmann::json Bridge::fields_json(const Fields &fields) const { return fields_to_json(fields); }

void Bridge::write_state() {
  dirty_ = false;
  last_state_write_mono_ = now_usec(loop_);
  std::string path = state_file_path(config_);
  if (path.empty() || dry_run_) return;
  nlohmann::json state = {{"counter", counter_}};
  if (on_air_) {
    const OnAir &a = *on_air_;
    nlohmann::json item_text = nlohmann::json::object();
    for (const auto &[key, value] : a.item.text) item_text[key] = value;
    state["on_air"] = {{"fallback", a.fallback},
                       {"flush", a.flush},
                       {"content_id", a.content_id},
                       {"since", a.since_wall},
                       {"expires", a.expires_wall},
                       {"known_duration", a.known_duration},
                       {"id", a.id},
                       {"start", a.start},
                       {"fields", fields_to_json(a.rendered.fields)},
                       {"ufid_owner", a.rendered.ufid_owner},
                       {"ufid_id", a.rendered.ufid_id},
                       {"item", item_text}};
  }
  // A new file renamed over the old one: a crash leaves the old state or the new, never half.
  std::string dump = state.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  std::string temp = path + ".new";
  FILE *f = std::fopen(temp.c_str(), "wb");
  bool ok = f && std::fwrite(dump.data(), 1, dump.size(), f) == dump.size() &&
            std::fflush(f) == 0 && fsync(fileno(f)) == 0;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
    log_.error("cannot write the state file " + path + ": " + std::strerror(errno));
    std::remove(temp.c_str());
  }
}

bool Bridge::resume_state() {
  std::string path = state_file_path(config_);
  uint32_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != sizeof seed) seed = static_cast<uint32_t>(wall_usec());
  counter_ = seed & 0xFFFFu;
  if (path.empty()) {
    log_.info("no state file: the content ID starts at random");
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    log_.info("no state file at " + path + " yet: the content ID starts at random");
    return false;
  }
  nlohmann::json state = nlohmann::json::parse(in, nullptr, false);
  if (!state.is_object()) {
    log_.warning("state file " + path + " is not readable JSON: ignored");
    return false;
  }
  try {
    counter_ = state.value("counter", counter_) & 0xFFFFu;
    if (!state.contains("on_air") || !state["on_air"].is_object()) return false;
    const nlohmann::json &a = state["on_air"];
    if (a.value("fallback", true)) return false;
    uint64_t expires = a.value("expires", uint64_t{0});
    uint64_t wall = wall_usec();
    if (expires <= wall) {
      log_.info("the stored item has expired");
      return false;
    }
    OnAir next;
    next.content_id = static_cast<uint16_t>(a.value("content_id", 0u));
    next.since_wall = a.value("since", wall);
    next.expires_wall = expires;
    next.expires_mono = now_usec(loop_) + (expires - wall);
    next.known_duration = a.value("known_duration", false);
    next.id = a.value("id", "");
    next.start = a.value("start", "");
    next.rendered.fields = fields_from_json(a.value("fields", nlohmann::json::object()));
    next.rendered.ufid_owner = a.value("ufid_owner", "");
    next.rendered.ufid_id = a.value("ufid_id", "");
    if (a.contains("item") && a["item"].is_object())
      for (const auto &[key, value] : a["item"].items())
        if (value.is_string()) next.item.text[key] = value.get<std::string>();
    next.item.start = next.start;
    put_on_air(std::move(next), "resumed");
    return true;
  } catch (const nlohmann::json::exception &e) {
    log_.warning("state file " + path + ": " + e.what() + ": ignored");
    return false;
  }
}

// ---- Reload and stop ----------------------------------------------------------------------

void Bridge::reload() {
  sd_notify(0, "RELOADING=1");
  Config fresh;
  std::unique_ptr<TextRoad> text;
  try {
    fresh = load_config(config_.path);
    text = std::make_unique<TextRoad>(fresh);
  } catch (const std::exception &e) {
    log_.error(std::string("reload refused, the configuration in use stays: ") + e.what());
    sd_notify(0, "READY=1");
    return;
  }
  Config old = std::move(config_);
  config_ = std::move(fresh);
  text_ = std::move(text);
  log_.info("reloading " + config_.path);

  std::vector<std::unique_ptr<Exciter>> next;
  std::vector<Exciter *> added;
  for (const auto &c : config_.exciters) {
    std::string name = c.host + ":" + std::to_string(c.port);
    auto found = std::find_if(exciters_.begin(), exciters_.end(),
                              [&](const auto &e) { return e && e->name() == name; });
    if (found != exciters_.end()) {
      if (!dry_run_) (*found)->reconfigure(c);
      next.push_back(std::move(*found));
      continue;
    }
    auto exciter = std::make_unique<Exciter>(loop_, log_, c);
    std::string why;
    if (!dry_run_ && !exciter->resolve(&why)) log_.error("exciter " + exciter->name() + ": " + why);
    log_.info("exciter " + exciter->name() + " added");
    added.push_back(exciter.get());
    next.push_back(std::move(exciter));
  }
  for (auto &gone : exciters_)
    if (gone) log_.info("exciter " + gone->name() + " removed");
  exciters_ = std::move(next);

  try {
    open_inputs(&old);
  } catch (const std::exception &e) {
    log_.error(std::string("input: ") + e.what());
  }
  if (!(old.http == config_.http)) {
    http_.reset();
    try {
      if (!config_.http.listen.empty())
        http_ = std::make_unique<HttpServer>(loop_, config_.http, *this);
    } catch (const std::exception &e) {
      log_.error(std::string("http: ") + e.what());
    }
  }

  if (on_air_) {
    Rendered again = on_air_->fallback ? text_->render_fallback() : text_->render(on_air_->item);
    if (!(again == on_air_->rendered)) {
      OnAir changed = *on_air_;
      changed.rendered = std::move(again);
      if (changed.fallback) changed.flush = changed.rendered.empty();
      changed.content_id = changed.flush ? 0 : next_content_id();
      put_on_air(std::move(changed), "reload");
    } else {
      encoded_.clear();  // encodings and packet kinds may have changed
      for (Exciter *e : added) send_to(*e, true);
      refresh_.after(config_.timing.refresh);
    }
  }
  rearm_silence();
  log_.info("configuration reloaded");
  sd_notify(0, "READY=1");
}

void Bridge::stop() {
  if (stopped_) return;
  stopped_ = true;
  sd_notify(0, "STOPPING=1");
  for (auto &e : exciters_) e->drop_pending();
  refresh_.cancel();
  expiry_.cancel();
  end_.cancel();
  silence_.cancel();
  state_timer_.cancel();
  write_state();
  log_.info("stopped");
}

}  // namespace marlod
