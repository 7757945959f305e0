#pragma once
// The daemon's main loop: a Unix socket carrying one JSON request and one JSON
// reply per line, the watchdog timer and SIGTERM, all on the calling thread.
#include <chrono>
#include <string>

#include "helper/helper_log.h"
#include "helper/helper_service.h"

namespace kelvane {

struct ServerOptions {
  std::string socketPath = "/run/kelvane/proxyhelper.sock";
  std::chrono::milliseconds tickInterval{10'000};
  // A connection that makes no request for this long is closed, unless it
  // holds the switch.
  std::chrono::milliseconds idleTimeout{60'000};
};

// Runs the daemon in this order: restore a leftover switch, start the watchdog
// timer, listen on the socket, handle SIGTERM, run. Every request, every
// disconnection, the timer and SIGTERM are handled on the calling thread.
// Returns the exit status: SIGTERM's (0, or 1 when the restore failed), or 1
// when the socket cannot be set up.
int runHelperServer(HelperService& service, const ServerOptions& options, HelperLog& log);

}  // namespace kelvane
