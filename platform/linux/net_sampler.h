#pragma once
// NetSampler: this machine's TCP traffic per process, in the records the traffic
// view folds into applications. The kernel counts bytes per socket (SockDiag);
// sockets are matched to processes by the inodes of their descriptors (ProcReader).
//
// What it cannot count: UDP (the kernel keeps no byte counters for it), bytes a
// socket moved after the previous sample when it closed before this one, and
// sockets opened and closed between two samples. A process's totals are what it
// moved while it was watched, plus its sockets' counts when first seen.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/net/net_stat.h"
#include "core/support/date.h"
#include "core/support/result.h"
#include "platform/linux/proc_reader.h"
#include "platform/linux/sock_diag.h"

namespace kelvane {

// One sample of the machine's traffic.
struct NetSample {
  Date at;
  std::vector<NetProc> procs;          // By process ID; each with its sockets.
  std::map<int32_t, uint32_t> owners;  // Process ID to its user.
  size_t unowned = 0;                  // Sockets of processes that cannot be inspected.
  bool operator==(const NetSample&) const = default;
};

// Not thread-safe: one caller at a time. Keeps the counters of the previous sample.
class NetSampler final {
 public:
  using SocketSource = std::function<Result<std::vector<SockDiag::TcpSocket>, std::string>()>;

  explicit NetSampler(
      ProcReader reader = ProcReader(), SocketSource sockets = SockDiag::tcpSockets,
      std::function<Date()> now = [] { return Date::now(); });

  // Takes one sample. Sockets of other users' processes, which cannot be matched
  // to a process, are counted in `unowned` only. A socket held by several
  // processes (inherited across fork) counts for the lowest process ID. Fails
  // with the kernel's reason when the socket table cannot be read.
  Result<NetSample, std::string> sample();

  // Returns the connection record of one socket (its counters as the kernel gives them).
  static NetConn connection(const SockDiag::TcpSocket& socket);

 private:
  struct Totals {
    uint64_t startTicks = 0;  // Tells a reused process ID from the process counted before.
    uint64_t in = 0;
    uint64_t out = 0;
  };
  struct Counters {
    uint64_t in = 0;
    uint64_t out = 0;
  };

  ProcReader reader_;
  SocketSource sockets_;
  std::function<Date()> now_;
  std::map<int32_t, Totals> totals_;      // Per process, what it moved while watched.
  std::map<uint64_t, Counters> counted_;  // Per socket inode, its counters at the last sample.
};

}  // namespace kelvane
