// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge.hpp"

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

namespace marlod {

namespace {

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

const char *const kSkipReasons[] = {"invalid", "ignored", "empty", "short", "group"};

std::string describe(const Fields &f) {
  std::string text = "\"" + f.title + "\"";
  if (!f.artist.empty()) text += " by \"" + f.artist + "\"";
  return text;
}

}  // namespace

Bridge::Bridge(sd_event *loop, Log &log, Config config, bool dry_run)
    : loop_(loop),
      log_(log),
      config_(std::move(config)),
      dry_run_(dry_run),
      refresh_(loop, [this] { refresh(); }),
      expiry_(loop, [this] { expire(); }),
      end_(loop, [this] { end_of_item(); }),
      silence_(loop, [this] { silence(); }),
      state_timer_(loop, [this] { write_state(); }),
      started_wall_(wall_usec()),
      started_mono_(now_usec(loop)) {
  text_ = std::make_unique<TextRoad>(config_);
  if (zel_marlo_allocPsdMsg(&handle_) != ZEL_MARLO_SUCCESS ||
      zel_marlo_allocPsdMsg(&decoder_) != ZEL_MARLO_SUCCESS)
    throw std::runtime_error("cannot allocate a PSD message");
  zel_marlo_enablePsdComment(decoder_, 1);
  zel_marlo_enablePsdCommercial(decoder_, 1);
  zel_marlo_enablePsdUfid(decoder_, 1);
  http_stats_.name = "http";
}

Bridge::~Bridge() {
  if (handle_) zel_marlo_deletePsdMsg(handle_);
  if (decoder_) zel_marlo_deletePsdMsg(decoder_);
}

void Bridge::start() {
  for (const auto &c : config_.exciters) {
    auto exciter = std::make_unique<Exciter>(loop_, log_, c);
    std::string why;
    if (!dry_run_ && !exciter->resolve(&why)) log_.error("exciter " + exciter->name() + ": " + why);
    exciters_.push_back(std::move(exciter));
  }
  open_inputs(nullptr);
  if (!config_.http.listen.empty())
    http_ = std::make_unique<HttpServer>(loop_, config_.http, *this);

  if (!resume_state()) fall_back("start");
  rearm_silence();
  sd_notify(0, "READY=1");
  notify_status();
}

void Bridge::open_inputs(const Config *old) {
  auto changed = [&](auto member) { return !old || !(old->*member == config_.*member); };
  if (changed(&Config::json)) {
    json_udp_.reset();
    json_tcp_.reset();
    stdin_.reset();
    if (!config_.json.udp.empty()) json_udp_ = open_json_udp(loop_, log_, *this, config_.json.udp);
    if (!config_.json.tcp.empty()) json_tcp_ = open_json_tcp(loop_, log_, *this, config_.json.tcp);
    if (config_.json.stdin_lines) stdin_ = open_stdin(loop_, log_, *this);
  }
  if (changed(&Config::rivendell)) {
    rivendell_.reset();
    if (config_.rivendell.enabled)
      rivendell_ = open_rivendell(loop_, log_, *this, config_.rivendell);
  }
  if (changed(&Config::file)) {
    file_.reset();
    if (!config_.file.path.empty()) file_ = open_file(loop_, log_, *this, config_.file);
  }
}

// ---- The road of one input event ----------------------------------------------------------

void Bridge::deliver(const Parsed &parsed, InputStats &stats) {
  if (parsed.repaired) log_.warning("input " + stats.name + ": invalid UTF-8 replaced with U+FFFD");
  if (parsed.status == Parsed::ok) {
    take(parsed.item, stats);
    return;
  }
  stats.last_event_wall = wall_usec();
  stats.last_event_mono = now_usec(loop_);
  rearm_silence();
  if (parsed.status == Parsed::ignored) {
    ++stats.skipped;
    ++skipped_by_reason_["ignored"];
    log_.debug("input " + stats.name + ": ignored: " + parsed.why);
    return;
  }
  count_skip(stats, "invalid", parsed.why);
}

void Bridge::count_skip(InputStats &stats, const std::string &reason, const std::string &line) {
  ++stats.skipped;
  ++skipped_by_reason_[reason];
  log_.info("input " + stats.name + ": skipped (" + reason + "): " + line);
}

Outcome Bridge::take(const Item &item, InputStats &stats) {
  stats.last_event_wall = wall_usec();
  stats.last_event_mono = now_usec(loop_);
  rearm_silence();
  if (stopped_) return {Outcome::skipped, "stopping"};

  if (item.clear) {
    ++stats.accepted;
    if (!on_air_ || on_air_->fallback) {
      log_.info("input " + stats.name + ": end of item; the fallback is on air");
      return {Outcome::ending, {}};
    }
    if (!end_.armed()) {
      end_.after(config_.timing.grace);
      log_.info("input " + stats.name + ": end of item; the fallback follows in " +
                std::to_string(config_.timing.grace) + " s unless an item comes");
    }
    return {Outcome::ending, {}};
  }

  std::string group(item.get("group"));
  if (!group.empty() && std::find(config_.skip_groups.begin(), config_.skip_groups.end(), group) !=
                            config_.skip_groups.end()) {
    count_skip(stats, "group", "group " + group + ": \"" + std::string(item.get("title")) + "\"");
    return {Outcome::skipped, "group"};
  }
  if (item.duration && *item.duration < config_.timing.min_duration) {
    std::ostringstream line;
    line << "shorter than " << config_.timing.min_duration << " s (" << *item.duration << " s): \""
         << item.get("title") << "\"";
    count_skip(stats, "short", line.str());
    return {Outcome::skipped, "short"};
  }
  Rendered rendered = text_->render(item);
  if (rendered.fields.title.empty() && rendered.fields.artist.empty()) {
    count_skip(stats, "empty", "no title and no artist");
    return {Outcome::skipped, "empty"};
  }
  ++stats.accepted;

  std::string id(item.get("id"));
  bool same = on_air_ && !on_air_->fallback && on_air_->rendered == rendered && on_air_->id == id &&
              on_air_->start == item.start;
  if (same) {
    if (end_.armed()) {
      end_.cancel();
      log_.info("input " + stats.name + ": the item on air goes on");
    } else {
      log_.info("input " + stats.name + ": the item on air again, content ID " +
                std::to_string(on_air_->content_id) + " kept");
    }
    return {Outcome::repeat, {}};
  }

  OnAir next;
  next.rendered = std::move(rendered);
  next.item = item;
  next.id = id;
  next.start = item.start;
  next.known_duration = item.duration.has_value();
  double lifetime = item.duration ? *item.duration + config_.timing.grace : config_.timing.max_age;
  next.since_wall = wall_usec();
  next.expires_mono = now_usec(loop_) + usec_of(lifetime);
  next.expires_wall = next.since_wall + usec_of(lifetime);
  next.content_id = next_content_id();
  put_on_air(std::move(next), ("from " + stats.name).c_str());
  return {Outcome::on_air, {}};
}

// ---- On air -------------------------------------------------------------------------------

uint16_t Bridge::next_content_id() {
  counter_ = (counter_ + 1) & 0xFFFFu;
  return static_cast<uint16_t>(counter_);
}

void Bridge::put_on_air(OnAir next, const char *why) {
  end_.cancel();
  on_air_ = std::move(next);
  ++items_total_;
  encode_on_air();
  if (on_air_->expires_mono)
    expiry_.at(on_air_->expires_mono);
  else
    expiry_.cancel();

  std::string names;
  for (const auto &e : exciters_) names += (names.empty() ? "" : ", ") + e->name();
  if (on_air_->flush) {
    log_.info(std::string("on air (") + why + "): fallback, a flush only, to " + names);
  } else {
    log_.info(std::string("on air (") + why + "): content ID " +
              std::to_string(on_air_->content_id) + (on_air_->fallback ? ", fallback" : "") + ": " +
              describe(on_air_->rendered.fields) + " to " + names);
  }
  if (dry_run_) {
    if (on_air_->flush) {
      std::printf("flush message\n");
    } else {
      const Encoded &e = encoded_for(exciters_.empty() ? Encoding::automatic
                                                       : exciters_.front()->config().encoding);
      std::string why_not;
      if (TextRoad::load(handle_, e.fitted, on_air_->rendered, &why_not))
        zel_marlo_fprintPsdMsg(handle_, stdout, 1);
    }
    std::fflush(stdout);
  }
  send_all(true);
  refresh_.after(config_.timing.refresh);
  mark_dirty();
  notify_status();
}

void Bridge::fall_back(const char *why) {
  OnAir next;
  next.fallback = true;
  next.rendered = text_->render_fallback();
  next.flush = next.rendered.empty();
  next.since_wall = wall_usec();
  if (!next.flush) next.content_id = next_content_id();
  put_on_air(std::move(next), why);
}

void Bridge::encode_on_air() {
  encoded_.clear();
  if (flush_packets_.empty()) {
    for (PacketKind kind : {PacketKind::two_layer, PacketKind::cl}) {
      uint8_t *buffer = nullptr;
      uint32_t length = 0;
      if (zel_marlo_sendPsdMsgToBuffer(handle_, &buffer, &length, vesk_type(kind),
                                       ZEL_MARLO_MSG_ID_FLUSH) == ZEL_MARLO_SUCCESS)
        flush_packets_[kind] = Bytes(buffer, buffer + length);
      std::free(buffer);
    }
  }
}

const Bridge::Encoded &Bridge::encoded_for(Encoding encoding) {
  auto found = encoded_.find(encoding);
  if (found != encoded_.end()) return found->second;
  Encoded &e = encoded_[encoding];
  if (!on_air_ || on_air_->flush) return e;
  e.fitted = text_->fit(on_air_->rendered, encoding);
  for (PacketKind kind : {PacketKind::two_layer, PacketKind::cl}) {
    std::string why;
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    if (!TextRoad::load(handle_, e.fitted, on_air_->rendered, &why) ||
        zel_marlo_createPsdMsg(handle_, on_air_->content_id) != ZEL_MARLO_SUCCESS ||
        zel_marlo_sendPsdMsgToBuffer(handle_, &buffer, &length, vesk_type(kind),
                                     ZEL_MARLO_MSG_ID_PSD) != ZEL_MARLO_SUCCESS) {
      if (why.empty()) why = zel_marlo_getErrorStr(handle_);
      log_.error(std::string("cannot encode the message in ") + encoding_name(encoding) + ": " +
                 why);
      std::free(buffer);
      continue;
    }
    e.packets[kind] = Bytes(buffer, buffer + length);
    std::free(buffer);
  }
  // Read the packet back as a receiver would: what the status shows is what is on air.
  auto any = e.packets.find(PacketKind::two_layer);
  ZEL_MARLO_MSG_ID_t id = 0;
  uint16_t content_id = 0;
  int32_t decoded_encoding = 0;
  if (any != e.packets.end() &&
      zel_marlo_recvPsdMsgFromBuffer(decoder_, any->second.data(),
                                     static_cast<uint32_t>(any->second.size()),
                                     ZEL_MARLO_VESK_TYPE_AFL_CL, &id) == ZEL_MARLO_SUCCESS &&
      zel_marlo_parsePsdMsg(decoder_, &content_id) == ZEL_MARLO_SUCCESS &&
      zel_marlo_getId3TextEncoding(decoder_, &decoded_encoding) == ZEL_MARLO_SUCCESS) {
    bool latin1 = decoded_encoding == ZEL_MARLO_ID3_ENC_ISO_8859_1;
    auto text = [&](char *t) { return take_text(t, latin1); };
    e.decoded = {{"title", text(zel_marlo_getPsdTitle(decoder_))},
                 {"artist", text(zel_marlo_getPsdArtist(decoder_))},
                 {"album", text(zel_marlo_getPsdAlbum(decoder_))},
                 {"genre", text(zel_marlo_getPsdGenre(decoder_))},
                 {"comment_title", text(zel_marlo_getPsdCommentTitle(decoder_))},
                 {"comment", text(zel_marlo_getPsdCommentDesc(decoder_))}};
    std::string owner = text(zel_marlo_getPsdUfidOwnerId(decoder_));
    uint32_t size = zel_marlo_getPsdUfidIdentifierSize(decoder_);
    uint8_t *identifier = zel_marlo_getPsdUfidIdentifier(decoder_);
    if (!owner.empty() || size) {
      e.decoded["ufid"] = {
          {"owner", owner},
          {"identifier", identifier ? std::string(identifier, identifier + size) : std::string()}};
    }
    std::free(identifier);
    std::string price = text(zel_marlo_getPsdCommercialPrice(decoder_));
    if (!price.empty())
      e.decoded["commercial"] = {
          {"price", price},
          {"valid_until", text(zel_marlo_getPsdCommentValidUntil(decoder_))},
          {"contact_url", text(zel_marlo_getPsdCommentContactUrl(decoder_))},
          {"received_as", text(zel_marlo_getPsdCommentRecvAs(decoder_))},
          {"seller", text(zel_marlo_getPsdCommentSellerName(decoder_))},
          {"description", text(zel_marlo_getPsdCommentProductDesc(decoder_))}};
    e.decoded["encoding"] = id3_encoding_name(decoded_encoding);
  }
  return e;
}

void Bridge::send_all(bool first) {
  for (auto &exciter : exciters_) send_to(*exciter, first);
}

void Bridge::send_to(Exciter &exciter, bool first) {
  if (!on_air_ || dry_run_ || stopped_) return;
  const ExciterConfig &c = exciter.config();
  std::vector<Bytes> burst;
  if (on_air_->flush || (first && on_air_->fallback && config_.flush_first))
    burst.push_back(flush_packets_[c.packet]);
  if (!on_air_->flush) {
    const Encoded &e = encoded_for(c.encoding);
    auto packet = e.packets.find(c.packet);
    if (packet == e.packets.end()) return;
    burst.push_back(packet->second);
  }
  exciter.send(std::move(burst));
}

void Bridge::refresh() {
  if (!on_air_ || stopped_) return;
  log_.debug("refresh: content ID " + std::to_string(on_air_->content_id));
  send_all(false);
  refresh_.after(config_.timing.refresh);
}

void Bridge::expire() {
  if (!on_air_ || on_air_->fallback) return;
  log_.info("expired: content ID " + std::to_string(on_air_->content_id) + ": " +
            describe(on_air_->rendered.fields));
  fall_back("expiry");
}

void Bridge::end_of_item() {
  if (!on_air_ || on_air_->fallback) return;
  log_.info("ended: content ID " + std::to_string(on_air_->content_id));
  fall_back("end of item");
}

void Bridge::rearm_silence() {
  if (config_.timing.silence > 0)
    silence_.after(config_.timing.silence);
  else
    silence_.cancel();
}

void Bridge::silence() {
  if (!on_air_ || on_air_->fallback) return;
  // An item of known length runs its course; its expiry brings the fallback.
  if (on_air_->known_duration && now_usec(loop_) < on_air_->expires_mono) return;
  log_.info("no input for " + std::to_string(config_.timing.silence) + " s");
  fall_back("silence");
}

void Bridge::notify_status() {
  if (!on_air_) return;
  std::string status = "STATUS=";
  if (on_air_->flush)
    status += "Fallback (flush)";
  else
    status += std::string(on_air_->fallback ? "Fallback: " : "On air: ") +
              describe(on_air_->rendered.fields);
  sd_notify(0, status.c_str());
}

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

// ---- What the HTTP side shows -------------------------------------------------------------

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
  for (Input *in :
       {json_udp_.get(), json_tcp_.get(), stdin_.get(), rivendell_.get(), file_.get()}) {
    if (!in) continue;
    const InputStats &st = in->stats;
    inputs.push_back(
        {{"name", st.name},
         {"kind", st.name},
         {"address", st.address},
         {"connected", st.connected},
         {"last_event", iso_or_null(st.last_event_wall)},
         {"last_event_age_seconds",
          st.last_event_mono ? nlohmann::json(static_cast<double>(mono - st.last_event_mono) / 1e6)
                             : nlohmann::json(nullptr)},
         {"accepted", st.accepted},
         {"skipped", st.skipped}});
  }
  if (http_) {
    const InputStats &st = http_stats_;
    inputs.push_back(
        {{"name", "http"},
         {"kind", "http"},
         {"address", config_.http.listen},
         {"connected", true},
         {"last_event", iso_or_null(st.last_event_wall)},
         {"last_event_age_seconds",
          st.last_event_mono ? nlohmann::json(static_cast<double>(mono - st.last_event_mono) / 1e6)
                             : nlohmann::json(nullptr)},
         {"accepted", st.accepted},
         {"skipped", st.skipped}});
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
  auto idle = [&](const InputStats &st) {
    uint64_t since = st.last_event_mono ? st.last_event_mono : started_mono_;
    m << "marlod_input_idle_seconds{input=\"" << label(st.name) << "\"} "
      << static_cast<double>(mono - since) / 1e6 << "\n";
  };
  for (Input *in : {json_udp_.get(), json_tcp_.get(), stdin_.get(), rivendell_.get(), file_.get()})
    if (in) idle(in->stats);
  if (http_) idle(http_stats_);
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
