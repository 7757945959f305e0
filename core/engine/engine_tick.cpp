// Engine: the tick, the plan pipeline and turning schedule slots into runs.
#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "core/disk/disk_planner.h"
#include "core/engine/engine.h"
#include "core/engine/run_task.h"
#include "core/planning/planner.h"
#include "core/planning/safety.h"

namespace kelvane {
namespace {

// CPU history kept beyond the longest window any rule or alert measures.
constexpr double kHorizonMargin = 120;
constexpr int64_t kSaveEvery = 10;
constexpr int64_t kPruneEvery = 1440;

bool isBrowser(const RunningApp& app) {
  return app.bundleID && std::find(Planner::browsers.begin(), Planner::browsers.end(),
                                   *app.bundleID) != Planner::browsers.end();
}

// The recorded form of an action that was not carried out: no tab list.
std::vector<ActionResult> resultsOf(const std::vector<Action>& actions, const char* text) {
  std::vector<ActionResult> results;
  results.reserve(actions.size());
  for (Action action : actions) {
    action.windowTabs = std::nullopt;
    results.push_back({.action = std::move(action), .result = text});
  }
  return results;
}

}  // namespace

void Engine::tick() {
  assertMain();
  if (sample_) tick(sample_());
}

void Engine::tick(Snapshot s) {
  assertMain();
  // A time no calendar can place (not a number, or beyond the distant past and
  // future) would move the schedule nowhere: such a snapshot is ignored.
  if (!(s.at >= Date::distantPast() && s.at <= Date::distantFuture())) return;
  // A pause that outlived its limit becomes a stop.
  if (diskRun_ && diskRun_->paused && diskRun_->pausedUntil && now() >= *diskRun_->pausedUntil) {
    pauseRanOut_ = true;
    stopDisk(onStopped);
  }

  const Limits& limits = config_.limits;
  const double horizon =
      kHorizonMargin + std::max({limits.sessionIdle, limits.devServerIdle, limits.backgroundIdle,
                                 limits.cpuHogWindow, config_.usageAlerts.appCPUWindow});
  observers_.change(EngineProperty::activity, activity_, [&](Activity& activity) {
    activity = std::move(activity).updated(s, focus_, horizon);
  });
  focus_ = FocusLog{};
  observers_.assign(EngineProperty::snapshot, snapshot_, std::optional<Snapshot>(std::move(s)));
  const Snapshot& snapshot = *snapshot_;

  evaluateUsage(snapshot);
  if (!memory_.kills.empty()) {
    Memory observed = memory_;
    observed.observe(snapshot);
    if (observed != memory_) {
      setMemory(std::move(observed));
      saveMemory();
    }
  }

  std::vector<Action> raw = rawPlan(snapshot, config_);
  if (!memory_.failures.empty() || !memory_.failureTargets.empty()) {
    std::unordered_set<std::string> live;
    for (const Action& action : raw) live.insert(Memory::itemKey(action));
    // Without a scan the disk rules plan nothing; their failures wait for the next scan.
    if (!diskScan_)
      for (const auto& [key, count] : memory_.failures)
        if (key.starts_with("cleanDisk:")) live.insert(key);
    Memory pruned = memory_;
    pruned.forget(live);
    if (pruned != memory_) {
      setMemory(std::move(pruned));
      saveMemory();
    }
  }
  planIncludesWeekly_ = weeklyPlanned(snapshot.at);
  setPlan(filtered(std::move(raw), snapshot));

  if (snapshot.at >= nextRunAt_) {
    run(nextRunAt_, snapshot.at);
    observers_.assign(EngineProperty::nextRunAt, nextRunAt_,
                      Schedule::next(snapshot.at, config_.scheduleMinutes, calendar_));
  }
  if (schedule_.pausedUntil && *schedule_.pausedUntil <= snapshot.at) {
    changeSchedule([](ScheduleState& state) { state.pausedUntil = std::nullopt; });
  }
  ++ticks_;
  if (ticks_ % kSaveEvery == 0) save();
  if (ticks_ % kPruneEvery == 0) pruneLogs(now());
  dropOldRuns(now());
}

std::vector<Action> Engine::rawPlan(const Snapshot& snapshot, const Config& config) const {
  std::vector<Action> actions = Planner::plan(snapshot, activity_, config);
  std::vector<Action> disk = DiskPlanner::plan(
      diskScan_, config, Schedule::weeklyDue(snapshot.at, schedule_.lastWeeklyRun, calendar_));
  actions.insert(actions.end(), std::make_move_iterator(disk.begin()),
                 std::make_move_iterator(disk.end()));
  return actions;
}

bool Engine::weeklyPlanned(Date at) const {
  return diskScan_ && Schedule::weeklyDue(at, schedule_.lastWeeklyRun, calendar_);
}

std::vector<Action> Engine::filtered(std::vector<Action> raw, const Snapshot& snapshot) {
  std::erase_if(raw, [&](const Action& action) { return memory_.blocks(action); });
  return withQueue(std::move(raw), snapshot);
}

void Engine::replan(const Snapshot& snapshot) {
  assertMain();
  planIncludesWeekly_ = weeklyPlanned(snapshot.at);
  setPlan(filtered(rawPlan(snapshot, config_), snapshot));
}

void Engine::run(std::optional<Date> slot, Date at) {
  assertMain();
  const RunMode mode = slot ? Schedule::mode(*slot, schedule_, config_.learningUntil)
                            : (at < config_.learningUntil ? RunMode::learning : RunMode::live);
  if (slot && schedule_.cancelledRunAt == slot) {
    changeSchedule([](ScheduleState& state) { state.cancelledRunAt = std::nullopt; });
  }
  if (mode == RunMode::paused) return;
  const bool canAct = execute_ && !currentRun_;
  if (mode == RunMode::live && execute_ && currentRun_) return;  // The slot is lost.

  std::vector<Action> queuedActions;
  std::vector<Action> scheduled;
  for (const Action& action : plan_) {
    const std::string id = action.id();
    if (skipped_.contains(id)) continue;
    if (queuedIDs_.contains(id)) {
      queuedActions.push_back(action);
    } else if (!memory_.blocks(action) && (slot || untouched(action))) {
      scheduled.push_back(action);
    }
  }
  // Skip marks last one slot; those of queued targets wait for the run that acts.
  const bool willAct = mode == RunMode::live && canAct;
  observers_.change(EngineProperty::skipped, skipped_, [&](std::set<std::string>& ids) {
    if (willAct) {
      ids.clear();
    } else {
      std::erase_if(ids, [&](const std::string& id) { return !queuedIDs_.contains(id); });
    }
  });

  if (mode == RunMode::cancelled) {
    record(RunMode::cancelled, {}, at);
    return;
  }
  if (mode == RunMode::live && execute_) {
    runLive(slot, at, scheduled, queuedActions);
  } else {
    record(RunMode::learning, resultsOf(scheduled, "would run"), at);
    if (canAct && !queuedActions.empty()) act(queuedActions, at, true, false);
  }
  emptyQueue();
}

void Engine::runLive(std::optional<Date> slot, Date at, const std::vector<Action>& scheduled,
                     const std::vector<Action>& queuedActions) {
  std::vector<BrowserTab> tabs;
  if (snapshot_)
    for (const BrowserTab& tab : snapshot_->tabs)
      if (std::find(config_.browsers.begin(), config_.browsers.end(), tab.browser) !=
          config_.browsers.end())
        tabs.push_back(tab);
  const auto reason = Safety::holdReason(scheduled, windowsAtRisk(scheduled), tabs, memory_.known);
  if (!reason) {
    observers_.reset(EngineProperty::held, held_);
    if (planIncludesWeekly_) markWeeklyRun(snapshot_ ? snapshot_->at : at);
    std::vector<Action> actions = scheduled;
    actions.insert(actions.end(), queuedActions.begin(), queuedActions.end());
    act(std::move(actions), at, false, slot.has_value());
    return;
  }
  observers_.assign(
      EngineProperty::held, held_,
      std::optional<HeldRun>(HeldRun{
          .at = at, .reason = *reason, .actions = scheduled, .weekly = planIncludesWeekly_}));
  record(RunMode::held, resultsOf(scheduled, "held"), at);
  if (!queuedActions.empty()) act(queuedActions, at, true, false);
}

// The windows the run's share of closed windows is measured against. A
// browser's own windows are counted with its browser windows and tabs, so
// they take part here only when the run quits the browser itself.
std::vector<WindowInfo> Engine::windowsAtRisk(const std::vector<Action>& scheduled) const {
  if (!snapshot_) return {};
  std::unordered_set<int32_t> browsers;
  for (const RunningApp& app : snapshot_->apps)
    if (isBrowser(app)) browsers.insert(app.pid);
  std::unordered_set<int32_t> quitting;
  for (const Action& action : scheduled)
    if (action.kind == ActionKind::quitApp) quitting.insert(action.pid);
  std::vector<WindowInfo> windows;
  for (const WindowInfo& window : snapshot_->windows)
    if (!browsers.contains(window.pid) || quitting.contains(window.pid)) windows.push_back(window);
  return windows;
}

// Once a slot has recorded or acted, the queue has served: picks name windows
// and processes by ID, and an ID left queued could later name something else.
void Engine::emptyQueue() {
  if (queued_.empty()) return;
  observers_.assign(EngineProperty::queued, queued_, std::vector<Pick>());
  if (snapshot_) replan(*snapshot_);
}

bool Engine::untouched(const Action& action) const {
  if (action.windowID && focus_.windows.contains(*action.windowID)) return false;
  return action.kind == ActionKind::stopProcess || !focus_.apps.contains(action.pid);
}

void Engine::runNow(RunsHandler done) {
  assertMain();
  std::set<Uuid> before;
  for (const RunRecord& record : runs_) before.insert(record.id);
  const auto previous = currentRun_;
  run(std::nullopt, now());
  const auto added = [before](const std::vector<RunRecord>& runs) {
    std::vector<RunRecord> fresh;
    for (const RunRecord& record : runs)
      if (!before.contains(record.id)) fresh.push_back(record);
    return fresh;
  };
  if (!currentRun_ || currentRun_ == previous) {
    if (done) done(added(runs_));
    return;
  }
  currentRun_->whenDone.push_back([weak = weak_from_this(), done, added] {
    const auto engine = weak.lock();
    if (engine && done) done(added(engine->runs_));
  });
}

void Engine::noteFocus(int32_t pid, std::optional<uint32_t> window, bool active) {
  assertMain();
  const Date t = now();
  focus_.note(pid, window, t);
  screenClock_ = screenClock_.noted(
      {.window = window,
       .at = t,
       .active = active,
       .boot = snapshot_ ? std::optional<Date>(snapshot_->boot) : std::nullopt,
       .session = snapshot_ ? std::optional<int32_t>(snapshot_->session) : std::nullopt},
      calendar_);
  // The published figures move once per minute of use, not on every focus change.
  const auto minutes = [&](const ScreenTime& screen) {
    return std::floor(screen.seconds(*window) / 60);
  };
  const bool same = screenTime_.day == screenClock_.day &&
                    screenTime_.windows.size() == screenClock_.windows.size() &&
                    (!window || minutes(screenTime_) == minutes(screenClock_));
  if (!same) observers_.assign(EngineProperty::screenTime, screenTime_, screenClock_);
}

}  // namespace kelvane
