#include "platform/linux/net_sampler.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/proc_text.h"

namespace kelvane {
namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// The name shown for a process: its program's file name, else the kernel's short name.
std::string nameOf(const ProcEntry& entry) {
  if (entry.exe && !entry.exe->empty()) {
    const auto slash = entry.exe->rfind('/');
    const std::string base = entry.exe->substr(slash == std::string::npos ? 0 : slash + 1);
    if (!base.empty()) return base;
  }
  return entry.stat.comm;
}

}  // namespace

NetSampler::NetSampler(ProcReader reader, SocketSource sockets, std::function<Date()> now)
    : reader_(std::move(reader)), sockets_(std::move(sockets)), now_(std::move(now)) {}

NetConn NetSampler::connection(const SockDiag::TcpSocket& socket) {
  NetConn conn;
  conn.proto = NetConn::Proto::tcp;
  conn.local = {SockDiag::addressText(socket.local, socket.v6), socket.localPort};
  // A listener's peer is the any-address with port 0: no peer at all.
  if (socket.state != SockDiag::kListen && socket.remotePort != 0)
    conn.remote = NetEndpoint{SockDiag::addressText(socket.remote, socket.v6), socket.remotePort};
  conn.state = SockDiag::stateText(socket.state);
  conn.bytesIn = socket.bytesReceived;
  conn.bytesOut = socket.bytesSent;
  return conn;
}

Result<NetSample, std::string> NetSampler::sample() {
  auto sockets = sockets_();
  if (!sockets) return Unexpected<std::string>(sockets.error());
  NetSample out{.at = now_()};
  std::unordered_map<uint64_t, const SockDiag::TcpSocket*> byInode;
  for (const auto& socket : *sockets)
    if (socket.inode != 0) byInode.emplace(socket.inode, &socket);

  auto entries = reader_.processes(ProcReader::kFds | ProcReader::kExe);
  std::sort(entries.begin(), entries.end(),
            [](const ProcEntry& a, const ProcEntry& b) { return a.stat.pid < b.stat.pid; });
  std::map<int32_t, Totals> totals;
  std::map<uint64_t, Counters> counted;
  std::unordered_set<uint64_t> claimed;
  for (const ProcEntry& entry : entries) {
    NetProc proc{.pid = entry.stat.pid, .name = nameOf(entry)};
    Counters moved;
    if (!entry.fds) continue;  // Another user's process: its descriptors cannot be read.
    for (const auto& target : *entry.fds) {
      const auto inode = ProcText::socketInode(target);
      const auto found = inode ? byInode.find(*inode) : byInode.end();
      if (found == byInode.end() || !claimed.insert(*inode).second) continue;
      const SockDiag::TcpSocket& socket = *found->second;
      proc.conns.push_back(connection(socket));
      const Counters now{socket.bytesReceived, socket.bytesSent};
      // A socket seen before adds what it moved since; a new one (or an inode
      // reused by a new socket, whose counters start again) adds all it has.
      const auto before = counted_.find(*inode);
      const bool continues =
          before != counted_.end() && now.in >= before->second.in && now.out >= before->second.out;
      moved.in = saturatingAdd(moved.in, now.in - (continues ? before->second.in : 0));
      moved.out = saturatingAdd(moved.out, now.out - (continues ? before->second.out : 0));
      counted[*inode] = now;
    }
    if (proc.conns.empty()) continue;
    Totals total{.startTicks = entry.stat.startTicks};
    if (const auto old = totals_.find(proc.pid);
        old != totals_.end() && old->second.startTicks == entry.stat.startTicks)
      total = old->second;
    total.in = saturatingAdd(total.in, moved.in);
    total.out = saturatingAdd(total.out, moved.out);
    proc.bytesIn = total.in;
    proc.bytesOut = total.out;
    totals[proc.pid] = total;
    out.owners[proc.pid] = entry.folderUid;
    out.procs.push_back(std::move(proc));
  }
  out.unowned = byInode.size() - claimed.size();
  totals_ = std::move(totals);
  counted_ = std::move(counted);
  return out;
}

}  // namespace kelvane
