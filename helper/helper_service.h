#pragma once
// HelperService: the daemon's answer to its clients. It admits or refuses each
// connection, hands requests to the HelperCore, and restores the user's
// settings when the client that switched goes away or the daemon terminates.
// It knows nothing of sockets; the server loop (helper_server.h) drives it.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/proxyswitch/helper_core.h"
#include "core/proxyswitch/helper_protocol.h"
#include "helper/admission.h"
#include "helper/helper_log.h"

namespace kelvane {

// Identifies one client connection for the life of the daemon.
using ConnectionID = uint64_t;

// Main thread only. The core, the checks and the log must outlive the service.
class HelperService final : public ProxyHelperXPC {
 public:
  // Admitted connections one user may hold at once; enough for the application
  // and a few commands, and far below the descriptors the daemon may open.
  static constexpr std::size_t kMaxConnectionsPerUser = 16;

  HelperService(HelperCore& core, AdmissionChecks& checks, HelperLog& log);
  HelperService(const HelperService&) = delete;
  HelperService& operator=(const HelperService&) = delete;

  // Restores settings a crashed or killed run left switched.
  void restoreLeftover() { core_.restoreLeftover(); }
  // Runs the admission checks on a new connection and counts it against its
  // user's connections; a refusal writes its line to the log and returns false.
  bool shouldAcceptNewConnection(ConnectionID connection, const std::optional<PeerIdentity>& peer);
  // Answers one request line from `connection` with one reply line (no newline);
  // a line that is not a request gets an error reply.
  std::string answer(ConnectionID connection, std::string_view line);
  // Returns true while `connection` holds the switch: its enable is the one in
  // force, and its going away puts the settings back. It is never idle.
  bool holdsSwitch(ConnectionID connection) const { return client_ == connection; }
  // An admitted connection has gone away: restores when it holds the switch.
  void invalidated(ConnectionID connection);
  // One watchdog step.
  void tick() { core_.tick(); }
  // Restores for shutdown; returns the exit status, 0 when nothing is left
  // switched and 1 when the restore failed (the saved file stays for the next start).
  int terminate();

  void enable(std::string host, int64_t port,
              std::function<void(std::optional<std::string>)> reply) override;
  void disable(std::function<void()> reply) override;
  void status(std::function<void(bool applied, bool tampered)> reply) override;

 private:
  std::size_t connectionsOf(uint32_t uid) const;

  HelperCore& core_;
  AdmissionChecks& checks_;
  HelperLog& log_;
  std::map<ConnectionID, uint32_t> users_;  // the user of each admitted connection
  std::optional<ConnectionID> current_;     // the connection whose request is being answered
  std::optional<ConnectionID> client_;      // the connection whose enable is in force
};

}  // namespace kelvane
