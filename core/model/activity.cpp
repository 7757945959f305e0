#include "core/model/activity.h"

#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kelvane {
namespace {

using ProcIndex = std::unordered_map<int32_t, const Proc*>;

Date later(Date a, Date b) { return a < b ? b : a; }

// The first record of each process ID; later duplicates are ignored.
ProcIndex indexProcs(const std::vector<Proc>& procs) {
  ProcIndex index;
  index.reserve(procs.size());
  for (const Proc& proc : procs) index.emplace(proc.pid, &proc);
  return index;
}

// Stored dates keep whole seconds only, so a boot time read back from disk
// must still match the producer's fractional one.
bool sameSecond(Date a, Date b) {
  return std::floor(a.timeIntervalSinceReferenceDate()) ==
         std::floor(b.timeIntervalSinceReferenceDate());
}

std::string browserWindowKey(const BrowserTab& tab) {
  return tab.browser + ":" + std::to_string(tab.windowID);
}

template <class K>
std::optional<Date> lookup(const std::map<K, Date>& clocks, const K& key) {
  const auto it = clocks.find(key);
  if (it == clocks.end()) return std::nullopt;
  return it->second;
}

// The use clock of a window or application: its old value (now when new),
// raised to a focus noted since, and now while it has the focus.
template <class K>
Date useClock(const std::map<K, Date>& old, const std::map<K, Date>& noted, const K& key,
              bool hasFocusNow, Date now) {
  if (hasFocusNow) return now;
  Date clock = lookup(old, key).value_or(now);
  if (const auto focused = lookup(noted, key)) clock = later(clock, *focused);
  return clock;
}

// Keeps the clocks of processes that were already running when the gap began
// and moves them forward by the gap; a process with an unknown or later start
// may be a new one behind a reused ID.
void shiftSurvivors(std::map<int32_t, Date>& clocks, double gap, Date gapStart,
                    const ProcIndex& procs) {
  std::erase_if(clocks, [&](const auto& entry) {
    const auto it = procs.find(entry.first);
    return it == procs.end() || !it->second->started || *it->second->started > gapStart;
  });
  for (auto& [pid, clock] : clocks) clock += gap;
}

void pause(Activity& activity, double gap, const std::vector<Proc>& procs) {
  const Date gapStart = activity.lastSample.value_or(Date::distantPast());
  for (auto& [id, clock] : activity.windowFocused) clock += gap;
  for (auto& [key, clock] : activity.tabViewed) clock += gap;
  const ProcIndex index = indexProcs(procs);
  shiftSurvivors(activity.appActive, gap, gapStart, index);
  shiftSurvivors(activity.appNoWindowsSince, gap, gapStart, index);
  shiftSurvivors(activity.connSeen, gap, gapStart, index);
  activity.cpu.clear();
}

void foldWindows(const Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  for (const WindowInfo& window : s.windows) {
    const bool focused = s.focusedWindow == window.id;
    next.windowFocused[window.id] =
        useClock(old.windowFocused, focus.windows, window.id, focused, s.at);
  }
}

void foldApps(const Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  std::unordered_set<int32_t> windowOwners;
  for (const WindowInfo& window : s.windows) windowOwners.insert(window.pid);
  for (const RunningApp& app : s.apps) {
    const bool front = s.frontPID == app.pid;
    next.appActive[app.pid] = useClock(old.appActive, focus.apps, app.pid, front, s.at);
    if (app.policy == AppPolicy::regular && !windowOwners.contains(app.pid))
      next.appNoWindowsSince[app.pid] = lookup(old.appNoWindowsSince, app.pid).value_or(s.at);
  }
}

// Appends one reading and trims the history to the horizon, keeping the newest
// sample at or before its start so that rates over the whole horizon exist.
void addSample(std::vector<CPUSample>& samples, Date now, double cpu, double horizon) {
  if (!samples.empty() && cpu < samples.back().cpu) samples.clear();  // A reused process ID.
  samples.push_back({now, cpu});
  const Date start = now - horizon;
  for (size_t i = samples.size(); i-- > 0;) {
    if (samples[i].at <= start) {
      samples.erase(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(i));
      break;
    }
  }
}

// Process IDs are taken from their first record; an unreadable CPU counter
// gives no history.
void foldProcs(Activity& old, const Snapshot& s, double horizon, Activity& next) {
  std::unordered_set<int32_t> seen;
  seen.reserve(s.procs.size());
  for (const Proc& proc : s.procs) {
    if (!seen.insert(proc.pid).second) continue;
    if (!proc.listenPorts.empty()) {
      next.connSeen[proc.pid] =
          proc.established < 1 ? lookup(old.connSeen, proc.pid).value_or(s.at) : s.at;
    }
    if (!std::isfinite(proc.cpu)) continue;
    auto node = old.cpu.extract(proc.pid);
    if (node.empty()) {
      addSample(next.cpu[proc.pid], s.at, proc.cpu, horizon);
    } else {
      addSample(node.mapped(), s.at, proc.cpu, horizon);
      next.cpu.insert(std::move(node));
    }
  }
}

// The browsers whose front window the user may be looking at: the frontmost
// application's and those of applications that came to the front since the
// last update.
std::unordered_set<std::string> browsersInUse(const Snapshot& s, const FocusLog& focus) {
  std::unordered_set<std::string> inUse;
  for (const RunningApp& app : s.apps) {
    if (app.bundleID && (s.frontPID == app.pid || focus.apps.contains(app.pid)))
      inUse.insert(*app.bundleID);
  }
  return inUse;
}

void foldTabs(const Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  for (const BrowserTab& tab : s.tabs)
    if (tab.active) next.windowShown.emplace(browserWindowKey(tab), tab.key());
  const auto inUse = browsersInUse(s, focus);
  for (const BrowserTab& tab : s.tabs) {
    const std::string key = tab.key();
    const auto before = lookup(old.tabViewed, key);
    const bool inView = tab.active && tab.front && inUse.contains(tab.browser);
    if (inView) next.tabsInView.insert(key);
    bool switchedTo = false;
    if (tab.active) {
      const auto shown = old.windowShown.find(browserWindowKey(tab));
      switchedTo = shown != old.windowShown.end() && shown->second != key;
    }
    const bool viewed = inView || switchedTo || !before || old.tabsInView.contains(key);
    Date clock = viewed ? later(before.value_or(Date::distantPast()), s.at) : *before;
    // Tabs sharing a key count as viewed when any of them is.
    if (const auto seen = lookup(next.tabViewed, key)) clock = later(clock, *seen);
    next.tabViewed[key] = clock;
  }
}

}  // namespace

void FocusLog::note(int32_t pid, std::optional<uint32_t> window, Date at) {
  apps[pid] = at;
  if (window) windows[*window] = at;
}

Activity Activity::updated(const Snapshot& snapshot, const FocusLog& focus, double horizon) const& {
  Activity copy = *this;
  return std::move(copy).updated(snapshot, focus, horizon);
}

Activity Activity::updated(const Snapshot& snapshot, const FocusLog& focus, double horizon) && {
  Activity old = std::move(*this);
  const Date now = snapshot.at;
  const bool rebooted = old.boot && !sameSecond(*old.boot, snapshot.boot);
  if (rebooted || (old.session && *old.session != snapshot.session)) {
    old = Activity();
  } else if (old.lastSample && now - *old.lastSample > kMaxGap) {
    pause(old, now - *old.lastSample, snapshot.procs);
  }
  if (std::isnan(horizon)) horizon = 0;
  Activity next;
  foldWindows(old, snapshot, focus, next);
  foldApps(old, snapshot, focus, next);
  foldProcs(old, snapshot, horizon, next);
  foldTabs(old, snapshot, focus, next);
  next.boot = snapshot.boot;
  next.lastSample = now;
  next.session = snapshot.session;
  return next;
}

Activity Activity::paused(double gap, const std::vector<Proc>& procs) const {
  Activity copy = *this;
  pause(copy, gap, procs);
  return copy;
}

std::optional<double> Activity::cpuUsed(int32_t pid, double window, Date now) const {
  const auto it = cpu.find(pid);
  if (it == cpu.end() || it->second.empty()) return std::nullopt;
  const auto& samples = it->second;
  const CPUSample& last = samples.back();
  const Date start = now - window;
  for (size_t i = samples.size(); i-- > 0;) {
    if (samples[i].at <= start) {
      const double dt = last.at - samples[i].at;
      if (!(dt > 0)) return std::nullopt;
      return window * (last.cpu - samples[i].cpu) / dt;
    }
  }
  return std::nullopt;
}

std::optional<double> Activity::cpuUsedAtLeast(int32_t pid, double window, Date now) const {
  const auto it = cpu.find(pid);
  if (it == cpu.end() || it->second.empty()) return std::nullopt;
  const auto& samples = it->second;
  const Date start = now - window;
  for (const CPUSample& sample : samples) {
    if (sample.at >= start) {
      if (!(sample.at < samples.back().at)) return std::nullopt;
      return samples.back().cpu - sample.cpu;
    }
  }
  return std::nullopt;
}

}  // namespace kelvane
