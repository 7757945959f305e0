#include "cli/machine_snapshot.h"

#include <algorithm>
#include <unistd.h>
#include <unordered_map>

#include "platform/linux/proc_text.h"

namespace kelvane::cli {
namespace {

struct SocketUse {
  std::vector<uint16_t> listening;
  std::vector<uint16_t> exposed;
  int64_t established = 0;
};

void addOnce(std::vector<uint16_t>& ports, uint16_t port) {
  if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
}

// What the sockets among a process's descriptors say about it.
SocketUse socketsOf(const ProcEntry& entry,
                    const std::unordered_map<uint64_t, const ProcText::InetSocket*>& byInode) {
  SocketUse use;
  for (const auto& target : entry.fds) {
    const auto inode = ProcText::socketInode(target);
    const auto found = inode ? byInode.find(*inode) : byInode.end();
    if (found == byInode.end()) continue;
    const ProcText::InetSocket& socket = *found->second;
    if (socket.state == ProcText::kEstablished) ++use.established;
    if (socket.state != ProcText::kListen) continue;
    addOnce(use.listening, socket.localPort);
    if (!socket.loopback()) addOnce(use.exposed, socket.localPort);
  }
  std::sort(use.listening.begin(), use.listening.end());
  std::sort(use.exposed.begin(), use.exposed.end());
  return use;
}

}  // namespace

Snapshot machineSnapshot(const ProcReader& reader) {
  const auto ticks = double(std::max(::sysconf(_SC_CLK_TCK), 1L));
  const auto pageSize = uint64_t(std::max(::sysconf(_SC_PAGESIZE), 1L));
  Snapshot snapshot{.at = Date::now(), .me = uint32_t(::getuid())};
  const auto boot = reader.bootTime();
  if (boot) snapshot.boot = Date::fromUnix(double(*boot));
  if (const auto text = reader.read("meminfo"))
    if (const auto memory = ProcText::memInfo(*text)) {
      snapshot.health.memTotal = memory->total;
      snapshot.health.memUsed = memory->total - std::min(memory->available, memory->total);
    }
  const auto sockets = reader.tcpSockets();
  std::unordered_map<uint64_t, const ProcText::InetSocket*> byInode;
  for (const auto& socket : sockets) byInode.emplace(socket.inode, &socket);
  for (const ProcEntry& entry :
       reader.processes(ProcReader::kExe | ProcReader::kCwd | ProcReader::kFds)) {
    if (entry.stat.kernelThread) continue;
    const SocketUse use = socketsOf(entry, byInode);
    Proc proc{.pid = entry.stat.pid,
              .ppid = entry.stat.ppid,
              .uid = entry.folderUid,
              .name = entry.stat.comm,
              .path = entry.exe.value_or(""),
              .tty = ProcText::ttyName(entry.stat.ttyNr),
              .cpu = double(entry.stat.utime + entry.stat.stime) / ticks,
              .rss = uint64_t(std::max<int64_t>(entry.stat.rssPages, 0)) * pageSize,
              .listenPorts = use.listening,
              .established = use.established,
              .cwd = entry.cwd};
    if (boot) proc.started = Date::fromUnix(double(*boot) + double(entry.stat.startTicks) / ticks);
    if (!use.exposed.empty() || !use.listening.empty()) proc.exposedPorts = use.exposed;
    snapshot.procs.push_back(std::move(proc));
  }
  return snapshot;
}

}  // namespace kelvane::cli
