#pragma once
// Who may talk to the proxy helper. A client must be an administrator, the
// helper must have a Team ID to match clients against, and the client must run
// with the hardened-runtime stand-in and be one of the allowed executables.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "core/support/result.h"
#include "helper/helper_config.h"

namespace kelvane {

// The process at the other end of a connection, as the kernel reports it.
struct PeerIdentity {
  int32_t pid = 0;
  uint32_t uid = 0;
  bool operator==(const PeerIdentity&) const = default;
};

// What a client must be: built from the helper's own Team ID.
struct ClientRequirement {
  std::string teamID;
  std::vector<std::string> clientPaths;  // the executables that belong to the team
  bool operator==(const ClientRequirement&) const = default;
};

// The answer of one check on a client: whether it holds, or why it could not
// be made (out of file descriptors, the process gone), which is no answer at all.
using CheckAnswer = Result<bool, std::string>;

// The checks, each on its own so that tests can fake any of them.
class AdmissionChecks {
 public:
  virtual ~AdmissionChecks() = default;
  // Answers true for root and members of the administrators group, false when
  // the user or the group does not exist; no answer when they cannot be looked up.
  virtual CheckAnswer isAdmin(uint32_t uid) = 0;
  // Returns the requirement clients must meet; nullopt when the helper has no Team ID.
  virtual std::optional<ClientRequirement> clientRequirement() = 0;
  // Answers whether the process runs hardened (no new privileges); no answer
  // when its status cannot be read.
  virtual CheckAnswer hasHardenedRuntime(int32_t pid) = 0;
  // Answers whether the process's executable is one of the requirement's, owned
  // by root and writable by nobody else; no answer when it cannot be inspected.
  virtual CheckAnswer meetsRequirement(int32_t pid, const ClientRequirement& requirement) = 0;
};

namespace Admission {

inline constexpr std::string_view kNotAdmin =
    "KelvaneProxyHelper: refusing a connection from a non-admin user";
inline constexpr std::string_view kNoTeamID =
    "KelvaneProxyHelper: refusing connections, the helper has no Team ID to match";
inline constexpr std::string_view kNoHardenedRuntime =
    "KelvaneProxyHelper: refusing a client without the hardened runtime";
inline constexpr std::string_view kNotRequiredClient =
    "KelvaneProxyHelper: refusing a client that does not meet the code requirement";
// Followed by why the check could not be made.
inline constexpr std::string_view kUnchecked =
    "KelvaneProxyHelper: refusing a client that could not be checked: ";
// After admission: the client must wait for the greeting, and every request
// must come from the admitted process itself.
inline constexpr std::string_view kSpokeFirst =
    "KelvaneProxyHelper: refusing a client that wrote before it was greeted";
inline constexpr std::string_view kOtherWriter =
    "KelvaneProxyHelper: refusing a request another process wrote on a client's connection";
// Followed by the number of connections a user may have.
inline constexpr std::string_view kTooManyConnections =
    "KelvaneProxyHelper: refusing a client whose user already has the most connections allowed: ";

// Runs the checks in order and returns the log line of the first that refuses
// or cannot be made; nullopt admits the peer. A peer whose identity the kernel
// does not give cannot be checked.
std::optional<std::string> refusal(const std::optional<PeerIdentity>& peer,
                                   AdmissionChecks& checks);

// Returns the identity of the process connected on a Unix socket; nullopt when
// the kernel does not say.
std::optional<PeerIdentity> peerOf(int socketFd);

}  // namespace Admission

// The checks on Linux, over the process table under `procRoot`: the hardened
// runtime is the NoNewPrivs flag of the client's status; the code requirement
// is the client's executable being the very file at one of the client paths.
class ProcAdmissionChecks final : public AdmissionChecks {
 public:
  // `trustedOwner` is who must own client executables: root for the daemon.
  explicit ProcAdmissionChecks(HelperConfig config, std::string procRoot = "/proc",
                               uid_t trustedOwner = 0);

  CheckAnswer isAdmin(uint32_t uid) override;
  std::optional<ClientRequirement> clientRequirement() override;
  CheckAnswer hasHardenedRuntime(int32_t pid) override;
  CheckAnswer meetsRequirement(int32_t pid, const ClientRequirement& requirement) override;

 private:
  // Why process `pid` could not be read, given the errno of the read (0 for none).
  std::string whyUnreadable(int32_t pid, int error) const;

  HelperConfig config_;
  std::string procRoot_;
  uid_t trustedOwner_;
};

}  // namespace kelvane
