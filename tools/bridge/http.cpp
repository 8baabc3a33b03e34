// SPDX-License-Identifier: GPL-2.0-or-later
// The bridge's HTTP side on libmicrohttpd: epoll mode without a thread of its own, its epoll fd
// and its time-out watched by the bridge's sd-event loop, so that a request is served between
// two sends and a slow client only ever costs a non-blocking read.
#include "http.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "parse.hpp"
#include "status_page.hpp"

namespace marlod {

namespace {

constexpr std::size_t kMaxBody = 64 * 1024;
constexpr unsigned kConnectionLimit = 256;   // above a studio's needs, far below the fd limit
constexpr unsigned kConnectionTimeout = 10;  // seconds without a byte: the connection is closed
constexpr std::size_t kConnectionMemory = 32 * 1024;  // request line, headers and read buffer
constexpr std::string_view kAllowGet = "GET, HEAD";
constexpr std::string_view kAllowPost = "GET, HEAD, POST";

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Takes as long for every wrong secret of a given length, whatever its first wrong byte; the
// length of the configured secret is all a timing attacker can learn.
bool same_secret(std::string_view given, std::string_view secret) {
  unsigned char diff = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(secret[i]);
  }
  return diff == 0;
}

// "ADDRESS:PORT" with a numeric IPv4 address, a name, or an IPv6 address in brackets.
std::pair<std::string, std::string> split_address(const std::string &listen) {
  std::string host, port;
  if (!listen.empty() && listen[0] == '[') {
    auto close = listen.find(']');
    if (close == std::string::npos || close + 1 >= listen.size() || listen[close + 1] != ':')
      throw std::runtime_error("\"" + listen + "\" is not ADDRESS:PORT");
    host = listen.substr(1, close - 1);
    port = listen.substr(close + 2);
  } else {
    auto colon = listen.rfind(':');
    if (colon == std::string::npos || listen.find(':') != colon)
      throw std::runtime_error("\"" + listen + "\" is not ADDRESS:PORT (IPv6 in brackets)");
    host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
  }
  if (host.empty() || port.empty())
    throw std::runtime_error("\"" + listen + "\" is not ADDRESS:PORT");
  return {host, port};
}

struct Resolved {
  sockaddr_storage addr{};
  socklen_t len = 0;
};

Resolved resolve(const std::string &listen, bool passive) {
  auto [host, port] = split_address(listen);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo *res = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
  if (rc != 0 || !res)
    throw std::runtime_error("cannot resolve \"" + listen + "\": " + gai_strerror(rc));
  Resolved r;
  std::memcpy(&r.addr, res->ai_addr, res->ai_addrlen);
  r.len = res->ai_addrlen;
  freeaddrinfo(res);
  return r;
}

std::string peer_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return "?";
  char text[INET6_ADDRSTRLEN] = "?";
  const sockaddr *sa = info->client_addr;
  if (sa->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
  else if (sa->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
  return text;
}

std::string_view header(MHD_Connection *connection, const char *name) {
  const char *value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? std::string_view{value} : std::string_view{};
}

// The keys of the JSON input. Values from a query or a form are text; duration and clear are
// typed here so that the JSON reader sees what a JSON client would send.
constexpr std::string_view kParamKeys[] = {"title",    "artist",        "album",   "genre",
                                           "duration", "comment_title", "comment", "id",
                                           "isrc",     "group",         "clear"};

bool is_param_key(std::string_view key) {
  for (auto k : kParamKeys)
    if (k == key) return true;
  return false;
}

nlohmann::json typed_value(std::string_view key, const std::string &value) {
  if (key == "duration") {
    // A number when the whole value is one; anything else goes on as text and the reader says
    // what is wrong with it.
    char *end = nullptr;
    errno = 0;
    double d = std::strtod(value.c_str(), &end);
    if (!value.empty() && end == value.c_str() + value.size() && errno == 0 &&
        value.find_first_of("xXpPnNiI") == std::string::npos)
      return d;
  } else if (key == "clear") {
    if (value == "true" || value == "1" || value == "yes" || value == "on") return true;
    if (value == "false" || value == "0" || value == "no" || value == "off") return false;
  }
  return value;
}

enum class Route { page, status, metrics, nowplaying };

struct Request {
  Route route;
  bool head = false;
  bool post = false;
  bool secret_ok = false;  // checked from the header or the query before the body came
  bool too_large = false;
  std::size_t discarded = 0;  // bytes of a too large body read and dropped
  std::string body;
};

}  // namespace

struct HttpServer::Impl {
  sd_event *loop;
  HttpConfig config;
  HttpHandler &handler;
  std::string own_authority;  // config.listen, as an Origin of our own page would name it
  MHD_Daemon *daemon = nullptr;
  sd_event_source *io = nullptr;
  sd_event_source *timer = nullptr;

  // Refused requests are logged, but a flood of them must not push every other event out of
  // the log: at most a few lines a second, then a count.
  std::chrono::steady_clock::time_point log_window{};
  unsigned logged_in_window = 0;
  unsigned unlogged = 0;

  Impl(sd_event *l, const HttpConfig &c, HttpHandler &h) : loop(l), config(c), handler(h) {}

  ~Impl() {
    sd_event_source_disable_unref(io);
    sd_event_source_disable_unref(timer);
    if (daemon) MHD_stop_daemon(daemon);
  }

  void start();
  void run();
  void rearm();
  void warn(MHD_Connection *connection, const char *method, const char *url, int code,
            const std::string &why);

  MHD_Result answer(MHD_Connection *connection, const char *url, const char *method,
                    const char *upload_data, size_t *upload_data_size, void **req_cls);
  MHD_Result finish_nowplaying(MHD_Connection *connection, Request &request, const char *method,
                               const char *url);
  bool cross_site(MHD_Connection *connection) const;

  static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url,
                               const char *method, const char *version, const char *upload_data,
                               size_t *upload_data_size, void **req_cls);
  static int on_io(sd_event_source *, int, uint32_t, void *userdata);
  static int on_timer(sd_event_source *, uint64_t, void *userdata);
};

namespace {

MHD_Result queue(MHD_Connection *connection, int code, std::string_view body,
                 const char *content_type, std::string_view allow = {}) {
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  if (!allow.empty())
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, std::string(allow).c_str());
  MHD_Result rc = MHD_queue_response(connection, static_cast<unsigned>(code), response);
  MHD_destroy_response(response);
  return rc;
}

std::string dump(const nlohmann::json &j) {
  // Text from the outside may hold invalid UTF-8; it is shown replaced, never refused.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

MHD_Result queue_json(MHD_Connection *connection, int code, const nlohmann::json &j,
                      std::string_view allow = {}) {
  return queue(connection, code, dump(j), "application/json", allow);
}

MHD_Result queue_error(MHD_Connection *connection, int code, const std::string &what,
                       std::string_view allow = {}) {
  return queue_json(connection, code, {{"error", what}}, allow);
}

MHD_Result queue_page(MHD_Connection *connection) {
  MHD_Response *response = MHD_create_response_from_buffer(
      kStatusPage.size(), const_cast<char *>(kStatusPage.data()), MHD_RESPMEM_PERSISTENT);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/html; charset=utf-8");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "X-Frame-Options", "DENY");
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  // The page's script and style are inline; it talks to its own server only and loads nothing.
  MHD_add_response_header(response, "Content-Security-Policy",
                          "default-src 'none'; script-src 'unsafe-inline'; "
                          "style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
                          "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  MHD_Result rc = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return rc;
}

void on_completed(void * /*cls*/, MHD_Connection * /*connection*/, void **req_cls,
                  MHD_RequestTerminationCode /*toe*/) {
  delete static_cast<Request *>(*req_cls);
  *req_cls = nullptr;
}

}  // namespace

MHD_Result HttpServer::Impl::on_request(void *cls, MHD_Connection *connection, const char *url,
                                        const char *method, const char * /*version*/,
                                        const char *upload_data, size_t *upload_data_size,
                                        void **req_cls) {
  auto *impl = static_cast<Impl *>(cls);
  try {
    return impl->answer(connection, url, method, upload_data, upload_data_size, req_cls);
  } catch (const std::exception &e) {
    impl->handler.log_warning(std::string("HTTP: internal error: ") + e.what());
    return queue_error(connection, 500, "internal error");
  }
}

int HttpServer::Impl::on_io(sd_event_source *, int, uint32_t, void *userdata) {
  static_cast<Impl *>(userdata)->run();
  return 0;
}

int HttpServer::Impl::on_timer(sd_event_source *, uint64_t, void *userdata) {
  static_cast<Impl *>(userdata)->run();
  return 0;
}

void HttpServer::Impl::start() {
  Resolved where = resolve(config.listen, true);
  unsigned flags = MHD_USE_EPOLL;
  if (where.addr.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
  const auto [host, port] = split_address(config.listen);
  own_authority = (where.addr.ss_family == AF_INET6 && host.find(':') != std::string::npos)
                      ? "[" + host + "]:" + port
                      : host + ":" + port;
  daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &on_request, this, MHD_OPTION_SOCK_ADDR,
      reinterpret_cast<sockaddr *>(&where.addr), MHD_OPTION_LISTENING_ADDRESS_REUSE,
      static_cast<unsigned>(1), MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeout, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      kConnectionMemory, MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_NOTIFY_COMPLETED,
      &on_completed, this, MHD_OPTION_END);
  if (!daemon)
    throw std::runtime_error("HTTP: cannot listen on " + config.listen + ": " +
                             std::strerror(errno));
  const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
  if (!info) throw std::runtime_error("HTTP: the server has no epoll descriptor");
  int r = sd_event_add_io(loop, &io, info->epoll_fd, EPOLLIN, &on_io, this);
  if (r >= 0) r = sd_event_add_time(loop, &timer, CLOCK_MONOTONIC, 0, 1000, &on_timer, this);
  if (r < 0)
    throw std::runtime_error(std::string("HTTP: cannot join the event loop: ") + std::strerror(-r));
  sd_event_source_set_description(io, "http");
  sd_event_source_set_description(timer, "http-timeout");
  rearm();
}

void HttpServer::Impl::run() {
  MHD_run(daemon);
  rearm();
}

// MHD says when it must run again even without socket activity (time-outs, data it already
// holds); the timer is set to that after every run.
void HttpServer::Impl::rearm() {
  MHD_UNSIGNED_LONG_LONG ms = 0;
  if (MHD_get_timeout(daemon, &ms) != MHD_YES) {
    sd_event_source_set_enabled(timer, SD_EVENT_OFF);
    return;
  }
  uint64_t now = 0;
  sd_event_now(loop, CLOCK_MONOTONIC, &now);
  sd_event_source_set_time(timer, now + static_cast<uint64_t>(ms) * 1000);
  sd_event_source_set_enabled(timer, SD_EVENT_ONESHOT);
}

void HttpServer::Impl::warn(MHD_Connection *connection, const char *method, const char *url,
                            int code, const std::string &why) {
  auto now = std::chrono::steady_clock::now();
  if (now - log_window >= std::chrono::seconds(1)) {
    if (unlogged)
      handler.log_warning("HTTP: " + std::to_string(unlogged) + " more refused requests");
    log_window = now;
    logged_in_window = 0;
    unlogged = 0;
  }
  if (++logged_in_window > 5) {
    ++unlogged;
    return;
  }
  // The path only: a query may hold the secret.
  handler.log_warning("HTTP: " + std::to_string(code) + " for " + method + " " + url + " from " +
                      peer_of(connection) + ": " + why);
}

// A browser marks what another site's page asks; without a secret such a request must not put
// text on air. Only the page's own origin and requests a person typed are taken.
bool HttpServer::Impl::cross_site(MHD_Connection *connection) const {
  std::string_view site = header(connection, "Sec-Fetch-Site");
  if (!site.empty() && site != "same-origin" && site != "none") return true;
  const char *origin_c = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
  if (!origin_c) return false;
  std::string_view origin = origin_c;
  constexpr std::string_view scheme = "http://";
  if (origin.substr(0, scheme.size()) != scheme) return true;  // "null", https, anything else
  std::string_view authority = origin.substr(scheme.size());
  std::string_view host = header(connection, MHD_HTTP_HEADER_HOST);
  return !(iequals(authority, own_authority) || (!host.empty() && iequals(authority, host)));
}

MHD_Result HttpServer::Impl::answer(MHD_Connection *connection, const char *url, const char *method,
                                    const char *upload_data, size_t *upload_data_size,
                                    void **req_cls) {
  if (auto *request = static_cast<Request *>(*req_cls)) {
    if (*upload_data_size > 0) {
      std::size_t size = *upload_data_size;
      *upload_data_size = 0;
      if (request->too_large) {
        // Read on to answer 413 at the end, but not for ever.
        request->discarded += size;
        return request->discarded > 4 * kMaxBody ? MHD_NO : MHD_YES;
      }
      if (request->body.size() + size > kMaxBody) {
        // A body without a length that grows too large: refused when it ends, not kept.
        request->too_large = true;
        request->body.clear();
        request->body.shrink_to_fit();
        warn(connection, method, url, 413, "body over 64 KiB");
        return MHD_YES;
      }
      request->body.append(upload_data, size);
      return MHD_YES;
    }
    if (request->too_large) return queue_error(connection, 413, "body over 64 KiB");
    return finish_nowplaying(connection, *request, method, url);
  }

  const std::string_view path = url;
  Route route;
  if (path == "/")
    route = Route::page;
  else if (path == "/status")
    route = Route::status;
  else if (path == "/metrics")
    route = Route::metrics;
  else if (path == "/nowplaying")
    route = Route::nowplaying;
  else
    return queue_error(connection, 404, "no such path");

  const std::string_view m = method;
  const bool head = m == MHD_HTTP_METHOD_HEAD;
  const bool post = m == MHD_HTTP_METHOD_POST;
  if (route != Route::nowplaying && !(head || m == MHD_HTTP_METHOD_GET))
    return queue_error(connection, 405, "method not allowed", kAllowGet);
  if (route == Route::nowplaying && !(head || post || m == MHD_HTTP_METHOD_GET))
    return queue_error(connection, 405, "method not allowed", kAllowPost);

  switch (route) {
    case Route::page:
      return queue_page(connection);
    case Route::status:
      return queue_json(connection, 200, handler.status());
    case Route::metrics:
      return queue(connection, 200, handler.metrics(), "text/plain; version=0.0.4; charset=utf-8");
    case Route::nowplaying:
      break;
  }

  // /nowplaying: everything that can be refused from the headers is refused before the body is
  // read.
  if (const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                       MHD_HTTP_HEADER_CONTENT_LENGTH)) {
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(length, &end, 10);
    if (errno != 0 || n > kMaxBody) {
      warn(connection, method, url, 413, "body over 64 KiB");
      return queue_error(connection, 413, "body over 64 KiB");
    }
  }
  auto request = std::make_unique<Request>();
  request->route = route;
  request->head = head;
  request->post = post;
  if (config.secret.empty()) {
    if (cross_site(connection)) {
      warn(connection, method, url, 403, "cross-site request");
      return queue_error(connection, 403, "cross-site request refused; configure a secret");
    }
  } else {
    const char *given = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Secret");
    if (!given) given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "secret");
    if (given) {
      if (!same_secret(given, config.secret)) {
        warn(connection, method, url, 401, "wrong secret");
        return queue_error(connection, 401, "wrong secret");
      }
      request->secret_ok = true;
    }
    // Without one here, a form body may still carry it.
  }
  *req_cls = request.release();
  return MHD_YES;
}

namespace {

struct FormFields {
  std::map<std::string, std::string> values;
};

MHD_Result on_form_field(void *cls, MHD_ValueKind, const char *key, const char *, const char *,
                         const char *, const char *data, uint64_t off, size_t size) {
  auto &values = static_cast<FormFields *>(cls)->values;
  std::string &value = values[key];
  if (off == 0) value.clear();
  if (data && size) value.append(data, size);
  return MHD_YES;
}

struct QueryFields {
  std::map<std::string, std::string> values;
};

MHD_Result on_query_field(void *cls, MHD_ValueKind, const char *key, size_t key_size,
                          const char *value, size_t value_size) {
  auto &values = static_cast<QueryFields *>(cls)->values;
  // The first of repeated keys counts, as a form's does below.
  values.emplace(std::string(key, key_size), value ? std::string(value, value_size) : "");
  return MHD_YES;
}

bool is_form(std::string_view type) {
  auto starts = [&](std::string_view prefix) {
    return type.size() >= prefix.size() && iequals(type.substr(0, prefix.size()), prefix);
  };
  return starts(MHD_HTTP_POST_ENCODING_FORM_URLENCODED) ||
         starts(MHD_HTTP_POST_ENCODING_MULTIPART_FORMDATA);
}

}  // namespace

MHD_Result HttpServer::Impl::finish_nowplaying(MHD_Connection *connection, Request &request,
                                               const char *method, const char *url) {
  QueryFields query;
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &on_query_field, &query);
  std::map<std::string, std::string> fields = query.values;

  std::string json_text;
  const std::string_view type = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
  const std::size_t first = request.body.find_first_not_of(" \t\r\n");
  if (request.post && first != std::string::npos) {
    if (is_form(type)) {
      FormFields form;
      MHD_PostProcessor *pp = MHD_create_post_processor(connection, 1024, &on_form_field, &form);
      if (!pp) return queue_error(connection, 400, "the form cannot be read");
      MHD_Result ok = MHD_post_process(pp, request.body.data(), request.body.size());
      MHD_destroy_post_processor(pp);
      if (ok != MHD_YES) return queue_error(connection, 400, "malformed form");
      for (auto &[k, v] : form.values) fields[k] = v;
    } else if (request.body[first] == '{') {
      // A JSON body whatever its Content-Type says: webhooks label it as they like.
      json_text = std::move(request.body);
    } else {
      return queue_error(connection, 400,
                         "the body is neither a form nor a JSON object (Content-Type " +
                             std::string(type.empty() ? "missing" : type) + ")");
    }
  }

  if (!config.secret.empty() && !request.secret_ok) {
    auto it = fields.find("secret");
    if (it == fields.end()) {
      warn(connection, method, url, 401, "no secret");
      return queue_error(connection, 401, "secret required (X-Secret header or secret parameter)");
    }
    if (!same_secret(it->second, config.secret)) {
      warn(connection, method, url, 401, "wrong secret");
      return queue_error(connection, 401, "wrong secret");
    }
  }

  if (json_text.empty()) {
    nlohmann::json object = nlohmann::json::object();
    for (auto &[k, v] : fields)
      if (is_param_key(k)) object[k] = typed_value(k, v);
    if (object.empty())
      return queue_error(connection, 400,
                         "no item: give title, artist, ... or clear=true as parameters, a form "
                         "or a JSON body");
    // Invalid UTF-8 from a query is replaced here, as the JSON reader does for other inputs.
    json_text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }

  Parsed parsed = parse_json_item(json_text);
  if (parsed.status == Parsed::invalid) {
    warn(connection, method, url, 400, parsed.why);
    if (!request.head) handler.invalid_item(parsed.why);
    return queue_error(connection, 400, parsed.why);
  }
  // HEAD is answered as GET would be, but it never puts anything on air.
  if (request.head) return queue_json(connection, 200, {{"valid", true}});
  if (parsed.status == Parsed::ignored)
    return queue_json(connection, 200, {{"skipped", parsed.why}});
  int code = 200;
  nlohmann::json answer = handler.now_playing(parsed.item, &code);
  return queue_json(connection, code, answer);
}

HttpServer::HttpServer(sd_event *loop, const HttpConfig &config, HttpHandler &handler)
    : impl_(std::make_unique<Impl>(loop, config, handler)) {
  impl_->start();
}

HttpServer::~HttpServer() = default;

// --- marlod --health --------------------------------------------------------------------------

namespace {

// Where to ask: the listening address, with a wildcard replaced by loopback.
std::string health_target(const std::string &listen) {
  auto [host, port] = split_address(listen);
  if (host == "0.0.0.0" || host == "*") host = "127.0.0.1";
  if (host == "::") host = "::1";
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

// One GET over a plain socket, every step bounded by the deadline. The answer is HTTP/1.0 with
// "Connection: close": the body is everything after the headers, up to the end.
std::string fetch_status(const std::string &target, std::chrono::steady_clock::time_point deadline,
                         int *code) {
  Resolved where = resolve(target, false);
  int fd = socket(where.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};

  auto wait = [&](short events) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("no answer within 5 s");
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r == 0) throw std::runtime_error("no answer within 5 s");
    if (r < 0 && errno != EINTR) throw std::runtime_error(std::strerror(errno));
  };

  if (connect(fd, reinterpret_cast<sockaddr *>(&where.addr), where.len) < 0) {
    if (errno != EINPROGRESS) throw std::runtime_error(std::strerror(errno));
    wait(POLLOUT);
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) throw std::runtime_error(std::strerror(err));
  }
  const std::string request =
      "GET /status HTTP/1.0\r\nHost: " + target + "\r\nAccept: application/json\r\n\r\n";
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0)
      sent += static_cast<std::size_t>(n);
    else if (n < 0 && (errno == EAGAIN || errno == EINTR))
      wait(POLLOUT);
    else
      throw std::runtime_error(std::strerror(errno));
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      answer.append(buffer, static_cast<std::size_t>(n));
      if (answer.size() > 16 * 1024 * 1024) throw std::runtime_error("answer too large");
    } else if (n == 0) {
      break;
    } else if (errno == EAGAIN || errno == EINTR) {
      wait(POLLIN);
    } else {
      throw std::runtime_error(std::strerror(errno));
    }
  }
  // "HTTP/1.x NNN ..."
  if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0)
    throw std::runtime_error("not an HTTP answer");
  auto space = answer.find(' ');
  *code = std::atoi(answer.c_str() + space + 1);
  auto end = answer.find("\r\n\r\n");
  if (end == std::string::npos) throw std::runtime_error("incomplete HTTP answer");
  return answer.substr(end + 4);
}

}  // namespace

int health_check(const Config &config) {
  if (config.http.listen.empty()) {
    std::printf("marlod: no [http] listen in %s: nothing to ask\n", config.path.c_str());
    return 1;
  }
  std::string target;
  nlohmann::json status;
  try {
    target = health_target(config.http.listen);
    int code = 0;
    std::string body =
        fetch_status(target, std::chrono::steady_clock::now() + std::chrono::seconds(5), &code);
    if (code != 200) {
      std::printf("marlod: %s/status answered %d\n", target.c_str(), code);
      return 1;
    }
    status = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception &) {
    std::printf("marlod: %s/status is not JSON\n", target.c_str());
    return 1;
  } catch (const std::exception &e) {
    std::printf("marlod: cannot reach %s: %s\n",
                (target.empty() ? config.http.listen : target).c_str(), e.what());
    return 1;
  }
  try {
    const auto &on_air = status.at("on_air");
    if (on_air.is_null()) {
      std::printf("marlod: nothing on air\n");
      return 1;
    }
    std::string failing;
    std::size_t exciters = 0;
    for (const auto &e : status.at("exciters")) {
      ++exciters;
      if (e.value("healthy", true)) continue;
      if (!failing.empty()) failing += "; ";
      failing += e.value("name", std::string("?"));
      if (e.contains("last_error") && e["last_error"].is_string())
        failing += ": " + e["last_error"].get<std::string>();
    }
    if (!failing.empty()) {
      std::printf("marlod: exciter failing: %s\n", failing.c_str());
      return 1;
    }
    std::string title;
    if (on_air.contains("fields") && on_air["fields"].value("title", nlohmann::json()).is_string())
      title = on_air["fields"]["title"].get<std::string>();
    std::printf("marlod: on air%s \"%s\" (content ID %s), %zu exciter%s healthy\n",
                on_air.value("fallback", false) ? " (fallback)" : "", title.c_str(),
                on_air.value("content_id", nlohmann::json()).dump().c_str(), exciters,
                exciters == 1 ? "" : "s");
    return 0;
  } catch (const nlohmann::json::exception &) {
    std::printf("marlod: %s/status lacks on_air or exciters\n", target.c_str());
    return 1;
  }
}

}  // namespace marlod
