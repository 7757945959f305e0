#include "core/net/net_traffic.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "core/proc/proc_groups.h"
#include "core/support/hashing.h"

namespace kelvane {
namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// Bytes per second between two readings of a counter; a counter that went
// backwards (a reset, a reused ID) counts as no traffic.
double perSecond(uint64_t now, uint64_t before, double dt) {
  return now > before ? static_cast<double>(now - before) / dt : 0;
}

struct Counters {
  uint64_t in = 0;
  uint64_t out = 0;
};

NetRate rateOf(Counters now, const std::optional<Counters>& before, double dt) {
  if (!before || !(dt > 0)) return NetRate::zero();
  return {perSecond(now.in, before->in, dt), perSecond(now.out, before->out, dt)};
}

double busy(const NetRate& rate) { return rate.down + rate.up; }

// Who a process's traffic is counted under.
struct Owner {
  std::string id;
  std::string name;
  std::optional<std::string> iconPath;
};

class Owners {
 public:
  Owners(const Snapshot* snapshot, const std::function<bool(int32_t)>& isMine) : isMine_(isMine) {
    if (!snapshot) return;
    for (const auto& app : snapshot->apps) apps_.emplace(app.pid, &app);
    for (const auto& group : ProcGroups::fold(snapshot->procs, snapshot->apps))
      for (const int32_t pid : group.pids())
        leaders_.emplace(pid, Leader{group.main.pid, group.main.name});
  }

  Owner of(const NetProc& proc) const {
    if (const auto leader = leaders_.find(proc.pid); leader != leaders_.end()) {
      const Leader& main = leader->second;
      const auto app = apps_.find(main.pid);
      if (app == apps_.end()) return {"pid:" + std::to_string(main.pid), main.name, std::nullopt};
      return {"pid:" + std::to_string(main.pid), app->second->name, app->second->bundlePath};
    }
    if (isMine_ && isMine_(proc.pid)) return {"pid:" + std::to_string(proc.pid), proc.name, {}};
    return {"system", "System", std::nullopt};
  }

 private:
  const std::function<bool(int32_t)>& isMine_;
  std::unordered_map<int32_t, const RunningApp*> apps_;
  struct Leader {
    int32_t pid = 0;
    std::string name;
  };
  std::unordered_map<int32_t, Leader> leaders_;  // Member process ID to its group's main process.
};

// Adds one process's counters, rates and connections to its row.
void fold(AppTraffic& row, const NetProc& proc, const NetProc* before, double dt) {
  const auto procRate = rateOf(
      {proc.bytesIn, proc.bytesOut},
      before ? std::optional<Counters>({before->bytesIn, before->bytesOut}) : std::nullopt, dt);
  row.rate.down += procRate.down;
  row.rate.up += procRate.up;
  row.totalIn = saturatingAdd(row.totalIn, proc.bytesIn);
  row.totalOut = saturatingAdd(row.totalOut, proc.bytesOut);
  row.members.push_back(proc.name);
  std::unordered_map<std::string, Counters> previous;
  if (before)
    for (const auto& conn : before->conns)
      previous.emplace(conn.key(), Counters{conn.bytesIn, conn.bytesOut});
  const auto listening = proc.listening();
  for (const auto& conn : proc.conns) {
    const auto direction = NetStat::direction(conn, listening);
    if (!direction) continue;
    const std::string key = conn.key();
    const auto old = previous.find(key);
    row.conns.push_back(
        {std::to_string(proc.pid) + " " + key, proc.pid, conn, *direction,
         rateOf({conn.bytesIn, conn.bytesOut},
                old == previous.end() ? std::nullopt : std::optional<Counters>(old->second), dt)});
  }
}

void sortRow(AppTraffic& row) {
  std::sort(row.members.begin(), row.members.end());
  row.members.erase(std::unique(row.members.begin(), row.members.end()), row.members.end());
  std::stable_sort(row.conns.begin(), row.conns.end(),
                   [](const TrafficConn& a, const TrafficConn& b) {
                     if (busy(a.rate) != busy(b.rate)) return busy(a.rate) > busy(b.rate);
                     return a.id < b.id;
                   });
}

}  // namespace

namespace NetStat {

std::vector<AppTraffic> apps(const std::vector<NetProc>* prev, const std::vector<NetProc>& now,
                             double dt, const Snapshot* snapshot,
                             const std::function<bool(int32_t)>& isMine) {
  const Owners owners(snapshot, isMine);
  std::unordered_map<int32_t, const NetProc*> before;
  if (prev)
    for (const auto& proc : *prev) before.emplace(proc.pid, &proc);
  std::vector<AppTraffic> rows;
  std::unordered_map<std::string, size_t> rowIndex;
  for (const auto& proc : now) {
    if (proc.bytesIn == 0 && proc.bytesOut == 0 && proc.conns.empty()) continue;
    Owner owner = owners.of(proc);
    auto [it, added] = rowIndex.emplace(owner.id, rows.size());
    if (added)
      rows.push_back({std::move(owner.id), std::move(owner.name), std::move(owner.iconPath)});
    const auto old = before.find(proc.pid);
    fold(rows[it->second], proc, old == before.end() ? nullptr : old->second, dt);
  }
  for (auto& row : rows) sortRow(row);
  std::stable_sort(rows.begin(), rows.end(), [](const AppTraffic& a, const AppTraffic& b) {
    if (busy(a.rate) != busy(b.rate)) return busy(a.rate) > busy(b.rate);
    if (a.name != b.name) return a.name < b.name;
    return a.id < b.id;
  });
  return rows;
}

}  // namespace NetStat
}  // namespace kelvane

size_t std::hash<kelvane::TrafficConn>::operator()(
    const kelvane::TrafficConn& conn) const noexcept {
  return kelvane::hashValues(conn.id, conn.pid, conn.conn, conn.direction, conn.rate.down,
                             conn.rate.up);
}

size_t std::hash<kelvane::AppTraffic>::operator()(const kelvane::AppTraffic& row) const noexcept {
  return kelvane::hashValues(row.id, row.name, row.iconPath, row.members, row.rate.down,
                             row.rate.up, row.totalIn, row.totalOut, row.conns);
}
