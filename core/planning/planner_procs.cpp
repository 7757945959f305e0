// The planner's process rules: idle terminal sessions, development servers,
// background processes and CPU hogs.
#include <cmath>

#include "core/config/format.h"
#include "core/planning/planner_context.h"

namespace kelvane::Planner::detail {
namespace {

// Less than one CPU-second over a whole idle period counts as idle.
constexpr double kIdleCpuSeconds = 1.0;

bool idleCpu(Context& c, size_t index, double window) {
  const auto used = c.cpuUsed(index, window);
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
    if (c.anyAncestor(i, [&](size_t a) { return members.contains(c.procs[a]->pid); })) return false;
  }
  double used = 0;
  for (const size_t i : t.members) {
    const Proc& p = *c.procs[i];
    if (c.blocked(p, false) || c.takenAt[i] || c.regularAt[i]) return false;
    const auto cpu = c.cpuUsed(i, c.limits.sessionIdle);
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
  for (const size_t i : t.members) c.takenAt[i] = 1;
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
    if (!c.ttyAt[i]) continue;
    const Proc& p = *c.procs[i];
    Terminal& t = terminals[*p.tty];
    t.all.push_back(i);
    if (p.uid == c.s.me) t.members.push_back(i);
  }
  for (const auto& [tty, terminal] : terminals) planSession(c, tty, terminal);
}

void planDevServers(Context& c) {
  for (size_t i = 0; i < c.procs.size(); ++i) {
    const Proc* p = c.procs[i];
    if (c.takenAt[i] || c.regularAt[i] || !c.listensAt[i]) continue;
    if (c.blocked(*p, false)) continue;
    const auto seen = clockOf(c.activity.connSeen, p->pid);
    if (!seen || !(c.since(*seen) >= c.limits.devServerIdle)) continue;
    if (!idleCpu(c, i, c.limits.devServerIdle)) continue;
    c.actions.push_back(c.processAction(Rule::devServer, ActionKind::stopProcess, *p,
                                        p->name + " · port " + joinedPorts(p->listenPorts),
                                        "no requests for " + Format::duration(c.since(*seen))));
    c.takenAt[i] = 1;
  }
}

void planBackground(Context& c) {
  // Shells and everything above a terminal's processes stay, so that a
  // session is only ever stopped as a whole.
  std::vector<char> aboveTerminals(c.procs.size(), 0);
  for (size_t i = 0; i < c.procs.size(); ++i) {
    if (!c.ttyAt[i]) continue;
    c.anyAncestor(i, [&](size_t a) {
      aboveTerminals[a] = 1;
      return false;
    });
  }
  for (size_t i = 0; i < c.procs.size(); ++i) {
    const Proc& p = *c.procs[i];
    if (c.takenAt[i] || c.regularAt[i] || c.ttyAt[i] || aboveTerminals[i]) continue;
    if (c.blocked(p, false)) continue;
    if (c.anyAncestor(i, [&](size_t a) { return c.regularAt[a] != 0; })) continue;
    if (!idleCpu(c, i, c.limits.backgroundIdle)) continue;
    const std::string reason = "no CPU for " + Format::duration(c.limits.backgroundIdle);
    const auto app = c.accessory.find(p.pid);
    if (app != c.accessory.end()) {
      c.actions.push_back(
          c.processAction(Rule::background, ActionKind::quitApp, p, app->second->name, reason));
    } else {
      c.actions.push_back(
          c.processAction(Rule::background, ActionKind::stopProcess, p, p.name, reason));
    }
    c.takenAt[i] = 1;
  }
}

void planCpuHogs(Context& c) {
  const double window = c.limits.cpuHogWindow;
  for (size_t i = 0; i < c.procs.size(); ++i) {
    const Proc* p = c.procs[i];
    if (c.takenAt[i] || c.regularAt[i] || c.blocked(*p, false)) continue;
    const auto used = c.cpuUsed(i, window);
    if (!used) continue;
    const double share = *used / window;
    if (!(share >= c.limits.cpuHogShare)) continue;
    // A process in a terminal in use, or whose terminal's idle time is unknown, is busy on purpose.
    if (c.ttyAt[i]) {
      const auto idle = ttyIdle(c, *p->tty);
      if (!idle || !(*idle >= c.limits.sessionIdle)) continue;
    }
    const std::string reason =
        std::to_string(std::llround(share * 100)) + "% CPU for " + Format::duration(window);
    c.actions.push_back(
        c.processAction(Rule::cpuHog, ActionKind::stopProcess, *p, p->name, reason));
    c.takenAt[i] = 1;
  }
}

}  // namespace kelvane::Planner::detail
