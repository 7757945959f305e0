#include "helper/admission.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/linux/proc_reader.h"

namespace kelvane {
namespace Admission {

std::optional<std::string_view> refusal(const std::optional<PeerIdentity>& peer,
                                        AdmissionChecks& checks) {
  if (!peer || !checks.isAdmin(peer->uid)) return kNotAdmin;
  const auto requirement = checks.clientRequirement();
  if (!requirement) return kNoTeamID;
  if (!checks.hasHardenedRuntime(peer->pid)) return kNoHardenedRuntime;
  if (!checks.meetsRequirement(peer->pid, *requirement)) return kNotRequiredClient;
  return std::nullopt;
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

// The gid of a group and the primary gid and name of a user, through NSS.
std::optional<gid_t> groupID(const std::string& name) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::nullopt;
  return entry.gr_gid;
}

std::optional<std::pair<std::string, gid_t>> user(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::nullopt;
  return std::pair<std::string, gid_t>(entry.pw_name, entry.pw_gid);
}

bool memberOf(const std::string& name, gid_t primary, gid_t wanted) {
  int count = 64;
  std::vector<gid_t> groups(std::size_t(count), 0);
  if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
    groups.resize(std::size_t(count));  // count now says how many there are
    if (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) return false;
  }
  groups.resize(std::size_t(count));
  for (const gid_t g : groups)
    if (g == wanted) return true;
  return false;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

ProcAdmissionChecks::ProcAdmissionChecks(HelperConfig config, std::string procRoot,
                                         uid_t trustedOwner)
    : config_(std::move(config)), procRoot_(std::move(procRoot)), trustedOwner_(trustedOwner) {}

bool ProcAdmissionChecks::isAdmin(uint32_t uid) {
  if (uid == 0) return true;
  const auto wanted = groupID(config_.adminGroup);
  const auto account = user(uid);
  return wanted && account && memberOf(account->first, account->second, *wanted);
}

std::optional<ClientRequirement> ProcAdmissionChecks::clientRequirement() {
  if (!config_.teamID) return std::nullopt;
  return ClientRequirement{*config_.teamID, config_.clientPaths};
}

bool ProcAdmissionChecks::hasHardenedRuntime(int32_t pid) {
  const auto process = ProcReader(procRoot_).process(pid, ProcReader::kStatus);
  return process && process->status && process->status->noNewPrivs;
}

bool ProcAdmissionChecks::meetsRequirement(int32_t pid, const ClientRequirement& requirement) {
  // The executable the process runs, even if its path has since been replaced.
  const auto running = ProcReader(procRoot_).exeFile(pid);
  if (!running) return false;
  for (const auto& path : requirement.clientPaths) {
    struct stat allowed {};
    if (::stat(path.c_str(), &allowed) == 0 && sameFile(allowed, *running) &&
        S_ISREG(allowed.st_mode) && allowed.st_uid == trustedOwner_ &&
        !(allowed.st_mode & (S_IWGRP | S_IWOTH)))
      return true;
  }
  return false;
}

}  // namespace kelvane
