// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's HTTP side: now-playing in, status page, status JSON and metrics out. Runs in the
// bridge's one event loop (libmicrohttpd in its epoll mode, no thread of its own).
#pragma once

#include <systemd/sd-event.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "config.hpp"
#include "item.hpp"

namespace marlod {

// What the server asks of the bridge. The bridge owns the state; the server only shows it.
class HttpHandler {
 public:
  virtual ~HttpHandler() = default;

  // The /status document:
  // {
  //   "version": "4.1.0", "station": "...", "started": ISO, "now": ISO, "uptime_seconds": n,
  //   "on_air": { "content_id": n, "since": ISO, "expires": ISO|null, "fallback": bool,
  //               "flush": bool (an empty fallback: a flush only, no text),
  //               "encoding": "latin1"|"utf16"|"utf8" (of the first exciter),
  //               "fields": {"title","artist","album","genre","comment_title","comment"}
  //                         (as a receiver decodes them at the first exciter),
  //               "commercial": null | {"price","valid_until","contact_url","received_as",
  //                                     "seller","description"},
  //               "ufid": null | {"owner","identifier"} } | null (nothing on air yet),
  //   "inputs": [ {"name", "kind", "address", "connected": bool, "last_event": ISO|null,
  //                "last_event_age_seconds": n|null, "accepted": n, "skipped": n} ],
  //   "exciters": [ {"name" ("host:port"), "host", "port", "address", "packet", "encoding",
  //                  "delay_ms", "last_send": ISO|null, "last_error": text|null,
  //                  "last_error_at": ISO|null, "sends": n, "errors": n, "healthy": bool,
  //                  "on_air": {"encoding", "fields": {...}} | null} ],
  //   "events": [ {"time": ISO, "level": "error"|"warning"|"info"|"debug", "text"} ]
  //              (the last 50, oldest first)
  // }
  // Times are ISO 8601 UTC with milliseconds ("2026-12-10T14:03:07.120Z").
  virtual nlohmann::json status() = 0;

  // The Prometheus text exposition (version 0.0.4) of the bridge's counters.
  virtual std::string metrics() = 0;

  // An item from /nowplaying, already parsed; it takes the road of every other input. The
  // answer body: {"content_id": n, "exciters": [{"name", "title"} ...]} when it went on air (or
  // is held: a repeat, or an end in its grace time: say so in "state"), or
  // {"skipped": "reason"}. Sets *code to the HTTP status (200).
  virtual nlohmann::json now_playing(const Item &item, int *code) = 0;

  // One log line of the server's own (refused requests and the like); never the secret.
  virtual void log_warning(const std::string &text) = 0;

  // A /nowplaying request whose item could not be read (answered 400, already logged through
  // log_warning): for the counts of skipped input events.
  virtual void invalid_item(const std::string & /*why*/) {}
};

class HttpServer {
 public:
  // Binds config.listen and joins the loop; throws std::runtime_error when it cannot.
  HttpServer(sd_event *loop, const HttpConfig &config, HttpHandler &handler);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// marlod --health: asks the running bridge's /status (config.http.listen) and returns the exit
// status: 0 when a message is on air and no exciter's last send failed, else 1 with one line
// on standard output saying what is wrong.
int health_check(const Config &config);

}  // namespace marlod
