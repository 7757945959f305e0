// Engine: derived state, settings and schedule controls, usage-alert controls,
// and the setters that keep observers informed.
#include <algorithm>

#include "core/disk_records/disk_paths.h"
#include "core/engine/engine.h"
#include "core/engine/run_task.h"

namespace kelvane {

bool Engine::learning() const { return now() < config_.learningUntil; }

bool Engine::paused() const { return schedule_.pausedUntil.value_or(Date::distantPast()) > now(); }

bool Engine::nextRunPaused() const {
  return schedule_.pausedUntil.value_or(Date::distantPast()) > nextRunAt_;
}

bool Engine::nextRunLearning() const { return nextRunAt_ < config_.learningUntil; }

bool Engine::nextRunCancelled() const { return schedule_.cancelledRunAt == nextRunAt_; }

bool Engine::weeklyDue() const {
  return Schedule::weeklyDue(now(), schedule_.lastWeeklyRun, calendar_);
}

std::vector<std::string> Engine::needsYou() const {
  std::vector<std::string> lines;
  for (const ActionResult& result : lastResults_)
    if (result.needsAttention()) lines.push_back(result.action.target + ": " + result.result);
  for (const auto& [key, count] : memory_.failures) {
    if (count < Memory::kFailureLimit) continue;
    const auto target = memory_.failureTargets.find(key);
    lines.push_back((target == memory_.failureTargets.end() ? key : target->second) +
                    ": left alone after 3 failed runs");
  }
  return lines;
}

uint64_t Engine::observe(EngineProperty property, Observers::Observer observer) {
  assertMain();
  return observers_.add(property, std::move(observer));
}

void Engine::unobserve(uint64_t token) {
  assertMain();
  observers_.remove(token);
}

void Engine::setDiskRun(std::optional<DiskRun> run) {
  assertMain();
  observers_.assign(EngineProperty::diskRun, diskRun_, std::move(run));
}

void Engine::setDiskScan(std::optional<DiskScan> scan) {
  assertMain();
  observers_.assign(EngineProperty::diskScan, diskScan_, std::move(scan));
}

void Engine::setMemory(Memory memory) {
  observers_.assign(EngineProperty::memory, memory_, std::move(memory));
}

void Engine::setPlan(std::vector<Action> plan) {
  observers_.assign(EngineProperty::plan, plan_, std::move(plan));
}

void Engine::setCurrentRun(std::shared_ptr<RunTask> task) {
  currentRun_ = std::move(task);
  observers_.assign(EngineProperty::running, running_, currentRun_ != nullptr);
}

std::vector<std::string> Engine::keptPaths() const {
  return DiskPaths::keptEntries(config_.allowlist.paths, diskScan_ ? diskScan_->home : "");
}

void Engine::dropSuggestions(const std::function<bool(const Suggestion&)>& drop) {
  if (!diskScan_) return;
  observers_.change(EngineProperty::diskScan, diskScan_,
                    [&](std::optional<DiskScan>& scan) { std::erase_if(scan->suggestions, drop); });
}

void Engine::update(Config config) {
  assertMain();
  const int64_t oldMinutes = config_.scheduleMinutes;
  const bool wasCancelled = nextRunCancelled();
  observers_.assign(EngineProperty::config, config_, std::move(config));
  if (!configReadOnly_) (void)store_.save(config_, "config.json");
  const auto kept = keptPaths();
  dropSuggestions([&](const Suggestion& s) { return DiskPaths::kept(s.path, kept); });
  if (config_.scheduleMinutes != oldMinutes) {
    observers_.assign(EngineProperty::nextRunAt, nextRunAt_,
                      Schedule::next(now(), config_.scheduleMinutes, calendar_));
    if (wasCancelled) {
      // The user cancelled "the next run": that is now the new slot.
      changeSchedule([&](ScheduleState& s) { s.cancelledRunAt = nextRunAt_; });
    }
  }
  if (snapshot_) replan(*snapshot_);
}

void Engine::endLearning() {
  Config config = config_;
  config.learningUntil = now();
  update(std::move(config));
}

void Engine::cancelNextRun() {
  assertMain();
  changeSchedule([&](ScheduleState& s) { s.cancelledRunAt = nextRunAt_; });
}

void Engine::undoCancel() {
  assertMain();
  changeSchedule([](ScheduleState& s) { s.cancelledRunAt = std::nullopt; });
}

void Engine::pause(std::optional<Date> until) {
  assertMain();
  changeSchedule([&](ScheduleState& s) { s.pausedUntil = until.value_or(Date::distantFuture()); });
}

void Engine::resume() {
  assertMain();
  changeSchedule([](ScheduleState& s) { s.pausedUntil = std::nullopt; });
}

void Engine::skip(const Action& action) {
  assertMain();
  observers_.change(EngineProperty::skipped, skipped_,
                    [&](std::set<std::string>& ids) { ids.insert(action.id()); });
}

void Engine::unskip(const Action& action) {
  assertMain();
  observers_.change(EngineProperty::skipped, skipped_,
                    [&](std::set<std::string>& ids) { ids.erase(action.id()); });
}

void Engine::discardHeld() {
  assertMain();
  observers_.reset(EngineProperty::held, held_);
}

void Engine::save() {
  assertMain();
  (void)store_.save(activity_, "activity.json");
  (void)store_.save(screenClock_, "screen-time.json");
  // Ticks write the usage-alert state only when more than its evaluation time
  // changed; the time is brought up to date here, so that a restart soon after
  // keeps the streaks.
  if (usageWatch_ != usageWatchSaved_ && store_.save(usageWatch_, "usage-watch.json"))
    usageWatchSaved_ = usageWatch_;
}

// A tick evaluates the alerts every minute, which moves `lastEvaluated` every
// time; writing the file (with its flush to disk) for that alone would make
// every tick write. The state is written when anything else changed.
void Engine::evaluateUsage(const Snapshot& snapshot) {
  UsageEvaluation evaluation =
      UsageWatch::evaluate(snapshot, activity_, config_, usageWatch_, calendar_);
  observers_.assign(EngineProperty::usageWatch, usageWatch_, std::move(evaluation.state));
  UsageWatchState timeless = usageWatch_;
  timeless.lastEvaluated = usageWatchSaved_.lastEvaluated;
  if (timeless != usageWatchSaved_ && store_.save(usageWatch_, "usage-watch.json"))
    usageWatchSaved_ = usageWatch_;
  if (!evaluation.alerts.empty() && onUsageAlert) onUsageAlert(evaluation.alerts);
}

void Engine::quietForToday(const std::string& key) {
  assertMain();
  observers_.assign(EngineProperty::usageWatch, usageWatch_,
                    UsageWatch::quietForToday(key, usageWatch_, now(), calendar_));
  if (store_.save(usageWatch_, "usage-watch.json")) usageWatchSaved_ = usageWatch_;
}

void Engine::neverAlert(const std::string& app) {
  Config config = config_;
  auto& never = config.usageAlerts.never;
  if (std::find(never.begin(), never.end(), app) == never.end()) never.push_back(app);
  update(std::move(config));
}

void Engine::alertAgain(const std::string& app) {
  Config config = config_;
  std::erase(config.usageAlerts.never, app);
  update(std::move(config));
}

}  // namespace kelvane
