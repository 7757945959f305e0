#include "helper/helper_service.h"

#include <algorithm>
#include <utility>

namespace kelvane {

HelperService::HelperService(HelperCore& core, AdmissionChecks& checks, HelperLog& log)
    : core_(core), checks_(checks), log_(log) {}

bool HelperService::shouldAcceptNewConnection(ConnectionID connection,
                                              const std::optional<PeerIdentity>& peer) {
  if (const auto refusal = Admission::refusal(peer, checks_)) {
    log_.write(*refusal);
    return false;
  }
  if (connectionsOf(peer->uid) >= kMaxConnectionsPerUser) {
    log_.write(std::string(Admission::kTooManyConnections) +
               std::to_string(kMaxConnectionsPerUser));
    return false;
  }
  users_.emplace(connection, peer->uid);
  return true;
}

std::string HelperService::answer(ConnectionID connection, std::string_view line) {
  current_ = connection;
  std::string reply = HelperProtocol::dispatch(*this, line);
  current_.reset();
  return reply;
}

void HelperService::invalidated(ConnectionID connection) {
  users_.erase(connection);
  // A connection that never switched, or whose switch a later client's
  // superseded, restores nothing.
  if (client_ != connection) return;
  client_.reset();
  core_.restore();
}

int HelperService::terminate() { return core_.restore() ? 0 : 1; }

void HelperService::enable(std::string host, int64_t port,
                           std::function<void(std::optional<std::string>)> reply) {
  auto error = core_.enable(host, port);
  // Only a switch made takes the switch over: a refused enable leaves it with
  // the client that made the one in force.
  if (!error) client_ = current_;
  reply(std::move(error));
}

void HelperService::disable(std::function<void()> reply) {
  core_.restore();
  reply();
}

void HelperService::status(std::function<void(bool, bool)> reply) {
  reply(core_.applied(), core_.tampered());
}

std::size_t HelperService::connectionsOf(uint32_t uid) const {
  return std::size_t(std::count_if(users_.begin(), users_.end(),
                                   [uid](const auto& entry) { return entry.second == uid; }));
}

}  // namespace kelvane
