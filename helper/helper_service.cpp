#include "helper/helper_service.h"

#include <utility>

namespace kelvane {

HelperService::HelperService(HelperCore& core, AdmissionChecks& checks, HelperLog& log)
    : core_(core), checks_(checks), log_(log) {}

bool HelperService::shouldAcceptNewConnection(const std::optional<PeerIdentity>& peer) {
  const auto refusal = Admission::refusal(peer, checks_);
  if (refusal) log_.write(*refusal);
  return !refusal;
}

std::string HelperService::answer(ConnectionID connection, std::string_view line) {
  current_ = connection;
  std::string reply = HelperProtocol::dispatch(*this, line);
  current_.reset();
  return reply;
}

void HelperService::invalidated(ConnectionID connection) {
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

}  // namespace kelvane
