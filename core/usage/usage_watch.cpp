#include "core/usage/usage_watch.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/usage/usage.h"

namespace kelvane::UsageWatch {
namespace {

// An application that may alert: one with a user interface and its group.
struct Candidate {
  const RunningApp* app = nullptr;
  AppGroup group;
  std::string key;
};

// Everything one evaluation reads, and the state it changes as it goes.
struct Pass {
  const Snapshot& snapshot;
  const Activity& activity;
  const UsageAlerts& settings;
  Date now;
  UsageWatchState state;
  std::vector<UsageAlert> alerts;

  bool never(std::string_view key) const {
    return std::find(settings.never.begin(), settings.never.end(), key) != settings.never.end();
  }
  // Never alerted about, silenced today, or alerted within the hour.
  bool silenced(const std::string& key) const {
    return never(key) || state.quietUntil.contains(key) || state.lastAlert.contains(key);
  }
  std::optional<double> cores(const Candidate& c) const {
    return Usage::cores(c.group, activity, settings.appCPUWindow, now);
  }
  void alert(UsageAlert::Kind kind, const Candidate& c, double cpu) {
    const double total = static_cast<double>(snapshot.health.memTotal);
    alerts.push_back({.kind = kind,
                      .app = c.key,
                      .name = c.app->name,
                      .pid = c.app->pid,
                      .cpu = cpu,
                      .bytes = c.group.memory,
                      .ofRAM = static_cast<double>(c.group.memory) / total});
    state.lastAlert[c.key] = now;
  }
};

// Drops silences that are over and alerts older than the cooldown.
void expire(UsageWatchState& state, Date now) {
  const std::string pressure(pressureKey);
  std::erase_if(state.quietUntil, [&](const auto& entry) { return !(entry.second > now); });
  if (!state.quietUntil.contains(pressure)) state.quietPressureLevel.reset();
  std::erase_if(state.lastAlert,
                [&](const auto& entry) { return now.since(entry.second) >= kCooldown; });
  if (!state.lastAlert.contains(pressure)) state.alertedLevel.reset();
}

std::vector<Candidate> candidates(const Snapshot& snapshot) {
  std::vector<Candidate> out;
  for (auto& group : Usage::appGroups(snapshot)) {
    const auto app = std::find_if(snapshot.apps.begin(), snapshot.apps.end(),
                                  [&](const RunningApp& a) { return a.pid == group.pid; });
    if (app == snapshot.apps.end() || app->policy != AppPolicy::regular) continue;
    out.push_back({.app = &*app, .group = std::move(group), .key = appKey(*app)});
  }
  return out;
}

bool pressureSilenced(const Pass& pass, int64_t level) {
  const UsageWatchState& s = pass.state;
  const std::string key(pressureKey);
  if (pass.never(key)) return true;
  // A silence without a level (a hand-edited file) silences every level.
  if (s.quietUntil.contains(key) && !(s.quietPressureLevel && level > *s.quietPressureLevel))
    return true;
  return s.lastAlert.contains(key) && level <= s.alertedLevel.value_or(1);
}

// One alert when the pressure rose above normal, named after the largest app.
void pressureAlert(Pass& pass, std::optional<int64_t> previous, const std::vector<Candidate>& all) {
  const int64_t level = pass.snapshot.health.pressure;
  if (level <= 1 || (previous && level <= *previous)) return;
  if (pressureSilenced(pass, level) || all.empty()) return;
  const auto largest = std::max_element(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return a.group.memory < b.group.memory;  // The first of equally large ones wins.
  });
  pass.alert(UsageAlert::Kind::pressure(level), *largest, pass.cores(*largest).value_or(0));
  pass.state.lastAlert[std::string(pressureKey)] = pass.now;
  pass.state.alertedLevel = std::max(pass.state.alertedLevel.value_or(1), level);
}

void memoryAlerts(Pass& pass, const std::vector<Candidate>& all) {
  const double total = static_cast<double>(pass.snapshot.health.memTotal);
  std::map<std::string, Date> high;
  for (const auto& c : all) {
    if (static_cast<double>(c.group.memory) / total < memoryShare) continue;
    const auto old = pass.state.highSince.find(c.key);
    const Date start = old == pass.state.highSince.end() ? pass.now : old->second;
    high.emplace(c.key, start);
    if (!pass.silenced(c.key) && pass.now.since(start) >= memoryWindow)
      pass.alert(UsageAlert::Kind::memory(), c, pass.cores(c).value_or(0));
  }
  pass.state.highSince = std::move(high);
}

void cpuAlerts(Pass& pass, const std::vector<Candidate>& all) {
  for (const auto& c : all) {
    const auto cores = pass.cores(c);
    if (cores && *cores >= pass.settings.appCPUCores && !pass.silenced(c.key))
      pass.alert(UsageAlert::Kind::cpu(), c, *cores);
  }
}

}  // namespace

std::string appKey(const RunningApp& app) {
  return app.bundleID && !app.bundleID->empty() ? *app.bundleID : app.name;
}

UsageEvaluation evaluate(const Snapshot& snapshot, const Activity& activity, const Config& config,
                         const UsageWatchState& state, const Calendar& /*calendar*/) {
  const Date now = snapshot.at;
  if (!std::isfinite(now.timeIntervalSinceReferenceDate())) return {.state = state};
  Pass pass{snapshot, activity, config.usageAlerts, now, state, {}};
  expire(pass.state, now);
  // A long gap either way (sleep, a paused engine, a clock set back) breaks
  // every streak: what happened in between is unknown.
  if (pass.state.lastEvaluated && std::abs(now.since(*pass.state.lastEvaluated)) > kMaxGap) {
    pass.state.highSince.clear();
    pass.state.pressure.reset();
  }
  pass.state.lastEvaluated = now;
  const auto previous = pass.state.pressure;
  pass.state.pressure = snapshot.health.pressure;
  if (!config.usageAlerts.on || snapshot.health.memTotal == 0) {
    pass.state.highSince.clear();
    return {.state = std::move(pass.state)};
  }
  const auto all = candidates(snapshot);
  pressureAlert(pass, previous, all);
  memoryAlerts(pass, all);
  cpuAlerts(pass, all);
  return {.alerts = std::move(pass.alerts), .state = std::move(pass.state)};
}

UsageWatchState quietForToday(std::string_view key, const UsageWatchState& state, Date now,
                              const Calendar& calendar) {
  if (!std::isfinite(now.timeIntervalSinceReferenceDate())) return state;
  UsageWatchState out = state;
  out.quietUntil[std::string(key)] = calendar.addingDays(calendar.startOfDay(now), 1);
  if (key == pressureKey)
    out.quietPressureLevel = state.pressure.value_or(0) > 2 ? *state.pressure : 2;
  return out;
}

}  // namespace kelvane::UsageWatch
