#include "platform/linux/browser_procs.h"

#include <algorithm>
#include <unordered_map>

#include "platform/linux/browser_identity.h"
#include "platform/linux/proc_reader.h"

namespace kelvane::BrowserProcs {
namespace {

// Ascending, each once (a socket may be held by several descriptors).
void sortPorts(std::vector<uint16_t>& ports) {
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
}

// Adds the TCP ports `proc` listens on, from its descriptors' socket inodes.
void addPorts(const ProcReader& reader,
              const std::unordered_map<uint64_t, const ProcText::InetSocket*>& listeners,
              Proc& proc) {
  for (const auto& target : reader.descriptors(proc.pid).value_or(std::vector<std::string>{})) {
    const auto inode = ProcText::socketInode(target);
    const auto found = inode ? listeners.find(*inode) : listeners.end();
    if (found == listeners.end()) continue;
    proc.listenPorts.push_back(found->second->localPort);
    if (!found->second->loopback()) {
      if (!proc.exposedPorts) proc.exposedPorts.emplace();
      proc.exposedPorts->push_back(found->second->localPort);
    }
  }
  sortPorts(proc.listenPorts);
  if (proc.exposedPorts) sortPorts(*proc.exposedPorts);
}

}  // namespace

std::vector<std::string> args(int32_t pid, const std::string& procRoot) {
  return ProcReader(procRoot).arguments(pid).value_or(std::vector<std::string>{});
}

std::vector<Proc> running(uint32_t me, const std::string& procRoot) {
  const ProcReader reader(procRoot);
  std::vector<Proc> family;
  for (auto& entry : reader.processes(ProcReader::kExe | ProcReader::kCwd)) {
    if (entry.folderUid != me || !entry.exe) continue;
    const auto kind = chromiumBrowser(*entry.exe);
    if (!kind) continue;
    family.push_back(Proc{.pid = entry.stat.pid,
                          .ppid = entry.stat.ppid,
                          .uid = me,
                          .name = entry.stat.comm,
                          .path = *entry.exe,
                          .bundleID = kind->bundleID,
                          .cwd = entry.cwd});
  }
  std::vector<Proc> out;
  std::vector<ProcText::InetSocket> sockets;
  std::unordered_map<uint64_t, const ProcText::InetSocket*> listeners;
  for (const Proc* proc : browserProcesses(family)) {
    if (!isBrowserProcess(args(proc->pid, procRoot))) continue;
    if (sockets.empty()) {  // The socket tables are read once a browser is found.
      sockets = reader.tcpSockets();
      for (const auto& socket : sockets)
        if (socket.state == ProcText::kListen) listeners[socket.inode] = &socket;
    }
    out.push_back(*proc);
    addPorts(reader, listeners, out.back());
  }
  return out;
}

}  // namespace kelvane::BrowserProcs
