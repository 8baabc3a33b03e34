// SPDX-License-Identifier: GPL-2.0-or-later
// marlod: the now-playing bridge. Follows a station's playout system and keeps the right PSD
// message on air at every exciter, all day.
#include <getopt.h>
#include <netdb.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "bridge.hpp"
#include "config.hpp"
#include "http.hpp"
#include "log.hpp"
#include "text.hpp"
#include "zel_marlo.h"

namespace {

const char kUsage[] =
    "Usage: marlod -c FILE [-v] [--dry-run]\n"
    "       marlod --check-config -c FILE\n"
    "       marlod --health -c FILE\n"
    "Keeps the now-playing PSD message on air at every exciter of FILE.\n"
    "\n"
    "  -c, --config FILE   the configuration (see marlod.toml(5))\n"
    "      --check-config  check FILE, print what is wrong and exit (0: usable)\n"
    "      --dry-run       print each message it would send, send nothing\n"
    "      --health        ask the running bridge (its [http] listen) whether it is on air\n"
    "  -v, --verbose       debug lines too (every refresh)\n"
    "  -h, --help          this text\n"
    "      --version       versions of marlod and the library\n";

// Names that do not resolve are worth a warning before the bridge starts.
int warn_unresolved(const marlod::Config &config) {
  int warnings = 0;
  for (const auto &e : config.exciters) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    int r = getaddrinfo(e.host.c_str(), nullptr, &hints, &found);
    if (r != 0) {
      std::printf("%s: warning: exciter host %s does not resolve: %s\n", config.path.c_str(),
                  e.host.c_str(), gai_strerror(r));
      ++warnings;
    } else {
      freeaddrinfo(found);
    }
  }
  return warnings;
}

struct Loop {
  sd_event *event = nullptr;
  ~Loop() {
    if (event) sd_event_unref(event);
  }
};

int on_stop(sd_event_source *s, const signalfd_siginfo *, void *userdata) {
  static_cast<marlod::Bridge *>(userdata)->stop();
  sd_event_exit(sd_event_source_get_event(s), 0);
  return 0;
}

int on_reload(sd_event_source *, const signalfd_siginfo *, void *userdata) {
  static_cast<marlod::Bridge *>(userdata)->reload();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  enum { kCheck = 256, kDryRun, kHealth, kVersion };
  static const option options[] = {
      {"config", required_argument, nullptr, 'c'}, {"check-config", no_argument, nullptr, kCheck},
      {"dry-run", no_argument, nullptr, kDryRun},  {"health", no_argument, nullptr, kHealth},
      {"verbose", no_argument, nullptr, 'v'},      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion}, {nullptr, 0, nullptr, 0}};
  std::string path;
  bool check = false, dry_run = false, health = false, verbose = false;
  for (int c; (c = getopt_long(argc, argv, "c:vh", options, nullptr)) != -1;) {
    switch (c) {
      case 'c':
        path = optarg;
        break;
      case kCheck:
        check = true;
        break;
      case kDryRun:
        dry_run = true;
        break;
      case kHealth:
        health = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case kVersion:
        std::printf("marlod %s\n%s", ZEL_MARLO_VERSION_STRING, zel_marlo_getVersion());
        return 0;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (path.empty() || optind != argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  marlod::Config config;
  try {
    config = marlod::load_config(path);
  } catch (const marlod::ConfigError &e) {
    std::printf("%s\n", e.what());
    return 1;
  }
  if (check) {
    warn_unresolved(config);
    std::printf("%s: configuration OK\n", path.c_str());
    return 0;
  }
  if (health) return marlod::health_check(config);

  // One thread: signals arrive as loop events.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  marlod::Log log(verbose);
  Loop loop;
  if (sd_event_new(&loop.event) < 0) {
    log.error("cannot create the event loop");
    return 1;
  }
  try {
    marlod::Bridge bridge(loop.event, log, std::move(config), dry_run);
    sd_event_add_signal(loop.event, nullptr, SIGTERM, on_stop, &bridge);
    sd_event_add_signal(loop.event, nullptr, SIGINT, on_stop, &bridge);
    sd_event_add_signal(loop.event, nullptr, SIGHUP, on_reload, &bridge);
    // WATCHDOG=1 from the loop itself: a stuck loop is a dead bridge.
    sd_event_set_watchdog(loop.event, 1);
    log.info(std::string("marlod ") + ZEL_MARLO_VERSION_STRING + " starting with " + path +
             (dry_run ? " (dry run: nothing is sent)" : ""));
    bridge.start();
    int r = sd_event_loop(loop.event);
    bridge.stop();
    return r < 0 ? 1 : 0;
  } catch (const std::exception &e) {
    log.error(e.what());
    return 1;
  }
}
