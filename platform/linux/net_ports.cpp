#include "platform/linux/net_ports.h"

#include <cstdlib>
#include <pwd.h>
#include <set>
#include <unistd.h>

#include "core/net/docker_ports.h"
#include "core/net/port_rows.h"
#include "core/net/project_root.h"
#include "core/shell/tool_locator.h"
#include "platform/linux/net_sampler.h"

namespace kelvane::LinuxPorts {
namespace {

std::string userName(uint32_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return "user " + std::to_string(uid);
}

}  // namespace

std::vector<NetProc> othersListening(const Snapshot& snapshot,
                                     const std::vector<SockDiag::TcpSocket>& sockets) {
  std::set<uint16_t> seen;
  for (const auto& proc : snapshot.procs)
    seen.insert(proc.listenPorts.begin(), proc.listenPorts.end());
  std::map<uint32_t, NetProc> byUser;
  for (const auto& socket : sockets) {
    if (socket.state != SockDiag::kListen || seen.contains(socket.localPort)) continue;
    auto [at, added] = byUser.try_emplace(socket.uid);
    if (added) at->second.name = "process of " + userName(socket.uid);
    at->second.conns.push_back(NetSampler::connection(socket));
  }
  std::vector<NetProc> out;
  for (auto& [uid, proc] : byUser) out.push_back(std::move(proc));
  return out;
}

std::map<std::string, std::string> projects(const Snapshot& snapshot, const std::string& home,
                                            const std::function<bool(const std::string&)>& exists) {
  std::map<std::string, std::string> out;
  for (const auto& proc : snapshot.procs) {
    if (proc.listenPorts.empty()) continue;
    const auto key = PortRows::projectKey(proc);
    if (!key || out.contains(*key)) continue;
    if (const auto name = ProjectRoot::name(*key, home, exists)) out.emplace(*key, *name);
  }
  return out;
}

std::map<uint16_t, std::string> docker(const std::string& home, const ToolRunner& run) {
  const char* path = std::getenv("PATH");
  const auto tool =
      ToolLocator::find("docker", home, path ? std::optional<std::string_view>(path) : std::nullopt,
                        [] { return std::optional<std::string>(); });
  if (!tool) return {};
  std::vector<std::string> args{*tool};
  args.insert(args.end(), DockerPorts::args.begin(), DockerPorts::args.end());
  const auto result = run(args);
  if (!result || result->timedOut || result->status != 0) return {};
  return DockerPorts::parse(result->out);
}

}  // namespace kelvane::LinuxPorts
