// Engine: finishing and recording runs, held runs, the weekly mark, and the
// controls of a running disk cleanup.
#include <algorithm>
#include <unordered_set>

#include "core/disk_records/disk_paths.h"
#include "core/engine/engine.h"
#include "core/engine/run_task.h"

namespace kelvane {
namespace {

constexpr double kDay = 86400;

bool pickedFilesOnly(const std::vector<ActionResult>& results) {
  return std::all_of(results.begin(), results.end(), [](const ActionResult& result) {
    return result.action.kind == ActionKind::cleanDisk && result.action.disk &&
           !result.action.disk->rule;
  });
}

// A weekly rule that did not run to its end leaves the weekly cleanup due.
bool weeklyUnfinished(const std::vector<ActionResult>& results) {
  return std::any_of(results.begin(), results.end(), [](const ActionResult& result) {
    const auto& disk = result.action.disk;
    return disk && disk->rule && DiskRules::weekly(*disk->rule) &&
           (result.notRun() || result.cutShort());
  });
}

}  // namespace

void Engine::finish(const std::vector<ActionResult>& results, Date at, const Logged& logged,
                    bool manual, bool scheduled, std::optional<Date> weeklyBefore) {
  assertMain();
  Memory memory = memory_;
  memory.record(results, at);
  setMemory(std::move(memory));
  saveMemory();

  std::set<std::string> ids;
  for (const ActionResult& result : results) ids.insert(result.action.id());
  if (manual || pickedFilesOnly(results)) {
    // A manual run adds to what the last run showed instead of replacing it.
    std::vector<ActionResult> merged;
    for (const ActionResult& previous : lastResults_)
      if (!ids.contains(previous.action.id())) merged.push_back(previous);
    merged.insert(merged.end(), results.begin(), results.end());
    observers_.assign(EngineProperty::lastResults, lastResults_, std::move(merged));
  } else {
    observers_.assign(EngineProperty::lastResults, lastResults_, results);
  }

  // Tabs that did not close come off the closed-tab list.
  std::set<Uuid> withdrawn;
  for (const ActionResult& result : results) {
    const auto entry = logged.find(result.action.id());
    if (entry != logged.end() && (result.needsAttention() || result.result.starts_with("skipped")))
      withdrawn.insert(entry->second.begin(), entry->second.end());
  }
  if (!withdrawn.empty()) forgetClosedTabs(withdrawn);
  observers_.change(EngineProperty::pendingLogs, pendingLogs_, [&](Logged& pending) {
    for (const std::string& id : ids) pending.erase(id);
  });

  dropCleanedItems(results);
  if (weeklyBefore && weeklyUnfinished(results)) {
    changeSchedule([&](ScheduleState& state) { state.lastWeeklyRun = weeklyBefore; });
  }

  if (snapshot_) replan(*snapshot_);
  std::vector<ActionResult> recorded = results;
  for (ActionResult& result : recorded)
    if (result.action.windowTabs) result.action.windowTabs->clear();
  record(RunMode::live, std::move(recorded), at);

  if (scheduled && !manual && onBackgroundStopped) {
    std::vector<ActionResult> hogs;
    for (const ActionResult& result : results)
      if (result.action.rule == Rule::cpuHog && result.done()) hogs.push_back(result);
    if (!hogs.empty()) onBackgroundStopped(hogs);
  }

  observers_.reset(EngineProperty::diskRun, diskRun_);
  onStopped = nullptr;
  pauseRanOut_ = false;
  setCurrentRun(nullptr);
  if (onFinish) onFinish();
}

// What a cleanup removed leaves the scan, so that the view shows what is left.
void Engine::dropCleanedItems(const std::vector<ActionResult>& results) {
  if (!diskScan_) return;
  std::unordered_set<std::string> gone;
  std::map<DiskRule, std::vector<std::string>> goneByRule;
  for (const ActionResult& result : results) {
    const auto& disk = result.action.disk;
    if (result.action.kind != ActionKind::cleanDisk || !disk || !result.done()) continue;
    for (const DiskItem& item : disk->items) {
      if (DiskPaths::exists(item.path)) continue;
      gone.insert(item.path);
      if (disk->rule) goneByRule[*disk->rule].push_back(item.path);
    }
  }
  if (gone.empty()) return;
  observers_.change(EngineProperty::diskScan, diskScan_, [&](std::optional<DiskScan>& scan) {
    for (auto& [rule, paths] : goneByRule) {
      const auto found = scan->rules.find(rule);
      if (found == scan->rules.end()) continue;
      DiskRuleScan& ruleScan = found->second;
      std::erase_if(ruleScan.items, [&](const DiskItem& item) {
        if (std::find(paths.begin(), paths.end(), item.path) == paths.end()) return false;
        ruleScan.bytes = std::max<int64_t>(0, ruleScan.bytes - item.bytes);
        return true;
      });
    }
    std::erase_if(scan->suggestions,
                  [&](const Suggestion& suggestion) { return gone.contains(suggestion.path); });
  });
}

void Engine::record(RunMode mode, std::vector<ActionResult> results, Date at) {
  assertMain();
  RunRecord run{.id = Uuid::random(), .at = at, .mode = mode, .actions = std::move(results)};
  (void)store_.append(run);
  const Date dayAgo = now() - kDay;
  observers_.change(EngineProperty::runs, runs_, [&](std::vector<RunRecord>& runs) {
    runs.insert(runs.begin(), std::move(run));
    std::erase_if(runs, [&](const RunRecord& r) { return r.at < dayAgo; });
  });
}

void Engine::markWeeklyRun(Date at) {
  assertMain();
  if (!Schedule::weeklyDue(at, schedule_.lastWeeklyRun, calendar_)) return;
  weeklyBefore_ = schedule_.lastWeeklyRun;
  lastWeeklyRunUnsaved_ = false;
  changeSchedule([&](ScheduleState& state) { state.lastWeeklyRun = at; });
}

void Engine::confirmHeld(ResultsHandler done) {
  assertMain();
  if (!held_ || currentRun_) return;
  const HeldRun run = *held_;
  observers_.reset(EngineProperty::held, held_);
  std::vector<Action> actions;
  for (const Action& action : run.actions)
    if (!skipped_.contains(action.id()) && !memory_.blocks(action)) actions.push_back(action);
  const Date at = now();
  if (run.weekly) markWeeklyRun(at);
  act(std::move(actions), at, false, false, std::move(done));
}

void Engine::editDiskRun(const std::function<void(DiskRun&)>& edit) {
  DiskRun run = *diskRun_;
  edit(run);
  observers_.assign(EngineProperty::diskRun, diskRun_, std::optional<DiskRun>(std::move(run)));
}

void Engine::pauseDisk(ResultsHandler done) {
  assertMain();
  if (!diskRun_) return;
  if (diskControl_) diskControl_->pause();
  const Date until = now() + pauseLimit;
  editDiskRun([&](DiskRun& run) {
    run.paused = true;
    run.pausedUntil = until;
  });
  onStopped = std::move(done);
}

void Engine::resumeDisk() {
  assertMain();
  if (!diskRun_) return;
  if (diskControl_) diskControl_->resume();
  editDiskRun([](DiskRun& run) {
    run.paused = false;
    run.pausedUntil = std::nullopt;
  });
  onStopped = nullptr;
}

void Engine::stopDisk(ResultsHandler done) {
  assertMain();
  if (!diskRun_) return;
  if (diskControl_) diskControl_->stop();
  editDiskRun([](DiskRun& run) { run.stopping = true; });
  onStopped = std::move(done);
}

void Engine::diskProgress(const DiskProgress& progress) {
  assertMain();
  if (!diskRun_) return;
  editDiskRun([&](DiskRun& run) { run.apply(progress); });
}

void Engine::updateDisk(DiskScan scan) {
  assertMain();
  const auto kept = DiskPaths::keptEntries(config_.allowlist.paths, scan.home);
  std::erase_if(scan.suggestions,
                [&](const Suggestion& s) { return DiskPaths::kept(s.path, kept); });
  observers_.assign(EngineProperty::diskScan, diskScan_, std::optional<DiskScan>(std::move(scan)));
  if (snapshot_) replan(*snapshot_);
}

}  // namespace kelvane
