// The planner's process rules: idle terminal sessions, development servers,
// background processes and CPU hogs.
#include <cmath>

#include "core/config/format.h"
#include "core/planning/planner_context.h"

namespace kelvane::Planner::detail {
namespace {

// Less than one CPU-second over a whole idle period counts as idle.
constexpr double kIdleCpuSeconds = 1.0;

template <class K>
std::optional<Date> clock(const std::map<K, Date>& clocks, const K& key) {
  const auto it = clocks.find(key);
  if (it == clocks.end()) return std::nullopt;
  return it->second;
}

bool idleCpu(const Context& c, int32_t pid, double window) {
  const auto used = c.activity.cpuUsed(pid, window, c.s.at);
  return used && *used < kIdleCpuSeconds;
}

std::optional<double> ttyIdle(const Context& c, const std::string& tty) {
  const auto it = c.s.ttyIdle.find(tty);
  if (it == c.s.ttyIdle.end()) return std::nullopt;
  return it->second;
}

struct Terminal {
  std::vector<size_t> all;      // Indexes in Context::procs.
  std::vector<size_t> members;  // Those of the user.
};

// Whether a terminal's members may all be stopped together; false when one is
// protected, already planned, an application, or without a CPU measurement,
// or when another user's process runs under one of them (sudo, login).
bool sessionIdle(Context& c, const Terminal& t, const std::unordered_set<int32_t>& members) {
  for (const size_t i : t.all) {
    if (c.procs[i]->uid == c.s.me) continue;
    if (c.anyAncestor(i, [&](const Proc& a) { return members.contains(a.pid); })) return false;
  }
  double used = 0;
  for (const size_t i : t.members) {
    const Proc& p = *c.procs[i];
    if (c.blocked(p, false) || c.taken.contains(p.pid) || c.isRegular(p.pid)) return false;
    const auto cpu = c.activity.cpuUsed(p.pid, c.limits.sessionIdle, c.s.at);
    if (!cpu) return false;
    used += *cpu;
  }
  return used < kIdleCpuSeconds;
}

void planSession(Context& c, const std::string& tty, const Terminal& t) {
  const auto idle = ttyIdle(c, tty);
  if (t.members.empty() || !idle || !(*idle >= c.limits.sessionIdle)) return;
  std::unordered_set<int32_t> members;
  for (const size_t i : t.members) members.insert(c.procs[i]->pid);
  if (!sessionIdle(c, t, members)) return;
  // The top of the terminal's process tree: the lowest member whose parent is not one.
  const Proc* leader = nullptr;
  for (const size_t i : t.members) {
    const Proc* p = c.procs[i];
    if (!members.contains(p->ppid) && (!leader || p->pid < leader->pid)) leader = p;
  }
  if (!leader) return;
  Action action = c.processAction(Rule::session, ActionKind::stopProcess, *leader,
                                  leader->name + " · " + tty, "idle " + Format::duration(*idle));
  action.tty = tty;
  action.minIdle = c.limits.sessionIdle;
  c.actions.push_back(std::move(action));
  c.taken.insert(members.begin(), members.end());
}

std::string joinedPorts(const std::vector<uint16_t>& ports) {
  std::string text;
  for (const uint16_t port : ports) text += (text.empty() ? "" : ", ") + std::to_string(port);
  return text;
}

}  // namespace

void planSessions(Context& c) {
  std::map<std::string, Terminal> terminals;  // Ordered by terminal name.
  for (size_t i = 0; i < c.procs.size(); ++i) {
    const Proc& p = *c.procs[i];
    if (!p.tty) continue;
    Terminal& t = terminals[*p.tty];
    t.all.push_back(i);
    if (p.uid == c.s.me) t.members.push_back(i);
  }
  for (const auto& [tty, terminal] : terminals) planSession(c, tty, terminal);
}

void planDevServers(Context& c) {
  for (const Proc* p : c.procs) {
    if (c.taken.contains(p->pid) || p->listenPorts.empty() || c.isRegular(p->pid)) continue;
    if (c.blocked(*p, false)) continue;
    const auto seen = clock(c.activity.connSeen, p->pid);
    if (!seen || !(c.since(*seen) >= c.limits.devServerIdle)) continue;
    if (!idleCpu(c, p->pid, c.limits.devServerIdle)) continue;
    c.actions.push_back(c.processAction(Rule::devServer, ActionKind::stopProcess, *p,
                                        p->name + " · port " + joinedPorts(p->listenPorts),
                                        "no requests for " + Format::duration(c.since(*seen))));
    c.taken.insert(p->pid);
  }
}

void planBackground(Context& c) {
  // Shells and everything above a terminal's processes stay, so that a
  // session is only ever stopped as a whole.
  std::unordered_set<int32_t> aboveTerminals;
  for (size_t i = 0; i < c.procs.size(); ++i) {
    if (!c.procs[i]->tty) continue;
    c.anyAncestor(i, [&](const Proc& a) {
      aboveTerminals.insert(a.pid);
      return false;
    });
  }
  for (size_t i = 0; i < c.procs.size(); ++i) {
    const Proc& p = *c.procs[i];
    if (c.taken.contains(p.pid) || p.tty || c.isRegular(p.pid) || aboveTerminals.contains(p.pid))
      continue;
    if (c.blocked(p, false)) continue;
    if (c.anyAncestor(i, [&](const Proc& a) { return c.isRegular(a.pid); })) continue;
    if (!idleCpu(c, p.pid, c.limits.backgroundIdle)) continue;
    const std::string reason = "no CPU for " + Format::duration(c.limits.backgroundIdle);
    const auto app = c.accessory.find(p.pid);
    if (app != c.accessory.end()) {
      c.actions.push_back(
          c.processAction(Rule::background, ActionKind::quitApp, p, app->second->name, reason));
    } else {
      c.actions.push_back(
          c.processAction(Rule::background, ActionKind::stopProcess, p, p.name, reason));
    }
    c.taken.insert(p.pid);
  }
}

void planCpuHogs(Context& c) {
  const double window = c.limits.cpuHogWindow;
  for (const Proc* p : c.procs) {
    if (c.taken.contains(p->pid) || c.isRegular(p->pid) || c.blocked(*p, false)) continue;
    const auto used = c.activity.cpuUsed(p->pid, window, c.s.at);
    if (!used) continue;
    const double share = *used / window;
    if (!(share >= c.limits.cpuHogShare)) continue;
    // A process in a terminal in use, or whose terminal's idle time is unknown, is busy on purpose.
    if (p->tty) {
      const auto idle = ttyIdle(c, *p->tty);
      if (!idle || !(*idle >= c.limits.sessionIdle)) continue;
    }
    const std::string reason =
        std::to_string(std::llround(share * 100)) + "% CPU for " + Format::duration(window);
    c.actions.push_back(
        c.processAction(Rule::cpuHog, ActionKind::stopProcess, *p, p->name, reason));
    c.taken.insert(p->pid);
  }
}

}  // namespace kelvane::Planner::detail
