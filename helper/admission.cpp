#include "helper/admission.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/linux/proc_reader.h"

namespace kelvane {
namespace Admission {
namespace {

std::string unchecked(std::string why) { return why.insert(0, kUnchecked); }

// The refusal one check gives: none when it holds, `line` when it does not, and
// why when it could not be made, so that no reason is claimed that was not found.
std::optional<std::string> refusalOf(const CheckAnswer& answer, std::string_view line) {
  if (!answer) return unchecked(answer.error());
  if (!*answer) return std::string(line);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> refusal(const std::optional<PeerIdentity>& peer,
                                   AdmissionChecks& checks) {
  if (!peer) return unchecked("the kernel does not say which process it is");
  if (auto refused = refusalOf(checks.isAdmin(peer->uid), kNotAdmin)) return refused;
  const auto requirement = checks.clientRequirement();
  if (!requirement) return std::string(kNoTeamID);
  if (auto refused = refusalOf(checks.hasHardenedRuntime(peer->pid), kNoHardenedRuntime))
    return refused;
  return refusalOf(checks.meetsRequirement(peer->pid, *requirement), kNotRequiredClient);
}

std::optional<PeerIdentity> peerOf(int socketFd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials || credentials.pid <= 0)
    return std::nullopt;
  PeerIdentity peer;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  return peer;
}

}  // namespace Admission

namespace {

// A user's name and primary group.
struct Account {
  std::string name;
  gid_t gid = 0;
};

// Runs a reentrant lookup `get(buffer, size)` with a buffer that grows while the
// entry does not fit (a large group lists many members). Returns 0, whether the
// entry was found or not, or the error that stopped the lookup.
template <class Lookup>
int lookUp(std::vector<char>& buffer, Lookup get) {
  for (std::size_t size = 16 << 10;; size *= 2) {
    buffer.resize(size);
    const int rc = get(buffer.data(), buffer.size());
    if (rc != ERANGE || size >= (std::size_t{1} << 22)) return rc;
  }
}

std::string lookupFailure(const std::string& what, int error) {
  return what + " cannot be looked up (" + std::strerror(error) + ")";
}

// The gid of a group; nullopt when there is no such group.
Result<std::optional<gid_t>, std::string> groupID(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer;
  const int rc = lookUp(buffer, [&](char* data, std::size_t size) {
    return ::getgrnam_r(name.c_str(), &entry, data, size, &found);
  });
  if (rc != 0) return Unexpected(lookupFailure("the group " + name, rc));
  return found ? std::optional<gid_t>(entry.gr_gid) : std::nullopt;
}

// The account of a user; nullopt when there is no such user.
Result<std::optional<Account>, std::string> account(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer;
  const int rc = lookUp(buffer, [&](char* data, std::size_t size) {
    return ::getpwuid_r(uid, &entry, data, size, &found);
  });
  if (rc != 0) return Unexpected(lookupFailure("the user " + std::to_string(uid), rc));
  return found ? std::optional<Account>(Account{entry.pw_name, entry.pw_gid}) : std::nullopt;
}

CheckAnswer memberOf(const Account& user, gid_t wanted) {
  int count = 64;
  std::vector<gid_t> groups(std::size_t(count), 0);
  if (::getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0) {
    groups.resize(std::size_t(count));  // count now says how many there are
    if (::getgrouplist(user.name.c_str(), user.gid, groups.data(), &count) < 0)
      return Unexpected("the groups of " + user.name + " cannot be listed");
  }
  groups.resize(std::size_t(count));
  return std::find(groups.begin(), groups.end(), wanted) != groups.end();
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

ProcAdmissionChecks::ProcAdmissionChecks(HelperConfig config, std::string procRoot,
                                         uid_t trustedOwner)
    : config_(std::move(config)), procRoot_(std::move(procRoot)), trustedOwner_(trustedOwner) {}

CheckAnswer ProcAdmissionChecks::isAdmin(uint32_t uid) {
  if (uid == 0) return true;
  const auto wanted = groupID(config_.adminGroup);
  if (!wanted) return Unexpected(wanted.error());
  const auto user = account(uid);
  if (!user) return Unexpected(user.error());
  if (!*wanted || !*user) return false;
  return memberOf(**user, **wanted);
}

std::optional<ClientRequirement> ProcAdmissionChecks::clientRequirement() {
  if (!config_.teamID) return std::nullopt;
  return ClientRequirement{*config_.teamID, config_.clientPaths};
}

CheckAnswer ProcAdmissionChecks::hasHardenedRuntime(int32_t pid) {
  errno = 0;  // so that after a failed read it holds the reason, or nothing
  const auto process = ProcReader(procRoot_).process(pid, ProcReader::kStatus);
  if (!process || !process->status)
    return Unexpected("its process status cannot be read: " + whyUnreadable(pid, errno));
  return process->status->noNewPrivs;
}

CheckAnswer ProcAdmissionChecks::meetsRequirement(int32_t pid,
                                                  const ClientRequirement& requirement) {
  // The executable the process runs, even if its path has since been replaced.
  errno = 0;
  const auto running = ProcReader(procRoot_).exeFile(pid);
  if (!running) return Unexpected("its program cannot be inspected: " + whyUnreadable(pid, errno));
  for (const auto& path : requirement.clientPaths) {
    struct stat allowed {};
    if (::stat(path.c_str(), &allowed) == 0 && sameFile(allowed, *running) &&
        S_ISREG(allowed.st_mode) && allowed.st_uid == trustedOwner_ &&
        !(allowed.st_mode & (S_IWGRP | S_IWOTH)))
      return true;
  }
  return false;
}

std::string ProcAdmissionChecks::whyUnreadable(int32_t pid, int error) const {
  if (error == EMFILE) return "the helper has run out of file descriptors";
  if (error == ENFILE) return "the system has run out of open files";
  struct stat info {};
  if (error == ESRCH || ::stat((procRoot_ + "/" + std::to_string(pid)).c_str(), &info) != 0)
    return "the process has ended";
  if (error != 0) return std::strerror(error);
  return "its entry under " + procRoot_ + " cannot be read";
}

}  // namespace kelvane
