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

#include "bridge_names.hpp"

namespace marlod {

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
                seconds_text(config_.timing.grace) + " s unless an item comes");
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
  log_.info("no input for " + seconds_text(config_.timing.silence) + " s");
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

}  // namespace marlod
