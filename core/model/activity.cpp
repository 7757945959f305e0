#include "core/model/activity.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
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

template <class Clocks, class K>
std::optional<Date> lookup(const Clocks& clocks, const K& key) {
  const auto it = clocks.find(key);
  if (it == clocks.end()) return std::nullopt;
  return it->second;
}

// Moves the clock of `key` from `old` into `next`, reusing its node, with the
// value `decide` gives for the old one (nullopt when new). A key already in
// `next` (an ID the snapshot lists twice) keeps its first value.
template <class Clocks, class Decide>
void carry(Clocks& old, Clocks& next, const typename Clocks::key_type& key, Decide decide) {
  if (next.contains(key)) return;
  auto node = old.extract(key);
  if (node.empty()) {
    next.emplace(key, decide(std::optional<Date>()));
    return;
  }
  node.mapped() = decide(std::optional<Date>(node.mapped()));
  next.insert(std::move(node));
}

// The use clock of a window or application: its old value (now when new),
// raised to a focus noted since, and now while it has the focus.
template <class Noted, class K>
Date useClock(std::optional<Date> old, const Noted& noted, const K& key, bool hasFocusNow,
              Date now) {
  if (hasFocusNow) return now;
  Date clock = old.value_or(now);
  if (const auto focused = lookup(noted, key)) clock = later(clock, *focused);
  return clock;
}

// Keeps the clocks of processes that were already running when the gap began
// and moves them forward by the gap; a process with an unknown or later start
// may be a new one behind a reused ID.
void shiftSurvivors(ProcessClocks& clocks, double gap, Date gapStart, const ProcIndex& procs) {
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

void foldWindows(Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  for (const WindowInfo& window : s.windows) {
    const bool focused = s.focusedWindow == window.id;
    carry(old.windowFocused, next.windowFocused, window.id, [&](std::optional<Date> before) {
      return useClock(before, focus.windows, window.id, focused, s.at);
    });
  }
}

void foldApps(Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  std::unordered_set<int32_t> windowOwners;
  for (const WindowInfo& window : s.windows) windowOwners.insert(window.pid);
  next.appActive.reserve(s.apps.size());
  for (const RunningApp& app : s.apps) {
    const bool front = s.frontPID == app.pid;
    carry(old.appActive, next.appActive, app.pid, [&](std::optional<Date> before) {
      return useClock(before, focus.apps, app.pid, front, s.at);
    });
    if (app.policy == AppPolicy::regular && !windowOwners.contains(app.pid)) {
      carry(old.appNoWindowsSince, next.appNoWindowsSince, app.pid,
            [&](std::optional<Date> before) { return before.value_or(s.at); });
    }
  }
}

// Returns the index of the newest sample at or before `start`, or the size of
// the history when there is none; histories are in time order. Samples come at
// a steady pace, so the search starts where the pace of the last two samples
// puts `start` and gallops out from there: a few probes near the end of the
// history, however long it is.
// gallop: -58% per update in BM_UpdateOnly/4 (-27% at /1) against one
// std::upper_bound, whose probes land in the cold middle of every history.
size_t newestAtOrBefore(const CPUHistory& h, Date start) {
  const size_t n = h.size();
  if (n == 0) return n;
  if (!(start < h[n - 1].at)) return n - 1;
  if (n == 1) return n;
  // From here h[hi].at > start, and h[lo].at <= start once lo is found.
  size_t hi = n - 1;
  size_t guess = n - 2;
  const double pace = h[n - 1].at - h[n - 2].at;
  const double back = (h[n - 1].at - start) / pace;
  if (pace > 0 && back < static_cast<double>(n - 1))
    guess = n - 1 - std::max<size_t>(1, static_cast<size_t>(std::ceil(back)));
  size_t lo = guess;
  if (h[guess].at <= start) {
    for (size_t step = 1; lo + step < hi; step *= 2) {
      if (start < h[lo + step].at) {
        hi = lo + step;
        break;
      }
      lo += step;
    }
  } else {
    hi = guess;
    for (size_t step = 1;; step *= 2) {
      if (hi < step) {
        if (start < h[0].at) return n;
        lo = 0;
        break;
      }
      if (h[hi - step].at <= start) {
        lo = hi - step;
        break;
      }
      hi -= step;
    }
  }
  while (hi - lo > 1) {
    const size_t mid = lo + (hi - lo) / 2;
    (h[mid].at <= start ? lo : hi) = mid;
  }
  return lo;
}

// Appends one reading and trims the history to the horizon, keeping the newest
// sample at or before its start so that rates over the whole horizon exist. A
// counter or a clock that went backwards starts the history again: the
// process ID was reused, or rates across the jump would mean nothing.
void addSample(CPUHistory& samples, Date now, double cpu, double horizon) {
  if (!samples.empty() && (cpu < samples.back().cpu || now < samples.back().at)) samples.clear();
  samples.push_back({now, cpu});
  const size_t first = newestAtOrBefore(samples, now - horizon);
  if (first < samples.size())
    samples.erase(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(first));
}

// Process IDs are taken from their first record; an unreadable CPU counter
// gives no history.
void foldProcs(Activity& old, const Snapshot& s, double horizon, Activity& next) {
  next.cpu.reserve(s.procs.size());
  std::unordered_set<int32_t> unreadable;
  for (const Proc& proc : s.procs) {
    if (next.cpu.contains(proc.pid) || unreadable.contains(proc.pid)) continue;  // listed twice
    if (!proc.listenPorts.empty()) {
      carry(old.connSeen, next.connSeen, proc.pid, [&](std::optional<Date> before) {
        return proc.established < 1 ? before.value_or(s.at) : s.at;
      });
    }
    if (!std::isfinite(proc.cpu)) {
      unreadable.insert(proc.pid);
      continue;
    }
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

// Tab clocks are updated in place: every tab's new clock is worked out against
// the old ones first (tabs sharing a key must all see the old value), then
// written, and the clocks of tabs that are gone are dropped.
void foldTabs(Activity& old, const Snapshot& s, const FocusLog& focus, Activity& next) {
  const auto inUse = browsersInUse(s, focus);
  TabClocks clocks = std::move(old.tabViewed);
  std::vector<std::pair<Date*, Date>> kept;
  std::vector<std::pair<std::string, Date>> added;
  kept.reserve(s.tabs.size());
  for (const BrowserTab& tab : s.tabs) {
    std::string key = tab.key();
    const auto it = clocks.find(key);
    const bool inView = tab.active && tab.front && inUse.contains(tab.browser);
    bool switchedTo = false;
    if (tab.active) {
      std::string window = browserWindowKey(tab);
      const auto shown = old.windowShown.find(window);
      switchedTo = shown != old.windowShown.end() && shown->second != key;
      next.windowShown.emplace(std::move(window), key);
    }
    if (inView) next.tabsInView.insert(key);
    if (it == clocks.end()) {
      added.emplace_back(std::move(key), s.at);  // first seen
      continue;
    }
    const bool viewed = inView || switchedTo || old.tabsInView.contains(key);
    kept.emplace_back(&it->second, viewed ? later(it->second, s.at) : it->second);
  }
  const Date unseen(std::numeric_limits<double>::quiet_NaN());
  for (auto& [key, clock] : clocks) clock = unseen;
  // Tabs sharing a key count as viewed when any of them is.
  const auto merge = [&](Date& clock, Date value) {
    clock = std::isnan(clock.timeIntervalSinceReferenceDate()) ? value : later(clock, value);
  };
  for (const auto& [clock, value] : kept) merge(*clock, value);
  for (auto& [key, value] : added) {
    const auto [it, inserted] = clocks.emplace(std::move(key), value);
    if (!inserted) merge(it->second, value);
  }
  std::erase_if(clocks, [](const auto& entry) {
    return std::isnan(entry.second.timeIntervalSinceReferenceDate());
  });
  next.tabViewed = std::move(clocks);
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
  if (it == cpu.end()) return std::nullopt;
  return cpuUsed(it->second, window, now);
}

std::optional<double> Activity::cpuUsed(const CPUHistory& samples, double window, Date now) {
  if (samples.empty() || std::isnan(window)) return std::nullopt;
  const size_t from = newestAtOrBefore(samples, now - window);
  if (from == samples.size()) return std::nullopt;
  const double dt = samples.back().at - samples[from].at;
  if (!(dt > 0)) return std::nullopt;
  return window * (samples.back().cpu - samples[from].cpu) / dt;
}

std::optional<double> Activity::cpuUsedAtLeast(int32_t pid, double window, Date now) const {
  const auto it = cpu.find(pid);
  if (std::isnan(window) || it == cpu.end() || it->second.empty()) return std::nullopt;
  const auto& samples = it->second;
  const auto from = std::lower_bound(samples.begin(), samples.end(), now - window,
                                     [](const CPUSample& s, Date t) { return s.at < t; });
  if (from == samples.end() || !(from->at < samples.back().at)) return std::nullopt;
  return samples.back().cpu - from->cpu;
}

}  // namespace kelvane
