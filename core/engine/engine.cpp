// Engine construction: loading the support folder's state and repairing what
// cannot be used as it is.
#include "core/engine/engine.h"

#include <algorithm>
#include <cassert>
#include <filesystem>
#include <system_error>

#include "core/engine/run_task.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kConfigFile = "config.json";
constexpr std::string_view kBadConfigFile = "config.json.bad";
constexpr double kDay = 86400;
constexpr double kLogRetention = 30 * kDay;

// Keeps the last 30 days of runs and closed tabs on disk (errors ignored).
void pruneFiles(const Store& store, Date monthAgo) {
  (void)store.prune(monthAgo);
  (void)store.rewriteLines<ClosedTab>(
      kClosedTabsFile, [monthAgo](const ClosedTab& tab) { return tab.at >= monthAgo; });
}

}  // namespace

std::shared_ptr<Engine> Engine::create(std::shared_ptr<MainQueue> main, Store store, Clock now,
                                       Sampler sample, Execute execute, Calendar calendar,
                                       std::shared_ptr<DiskRunControl> diskControl) {
  auto engine = std::make_shared<Engine>(Private{}, std::move(main), std::move(store),
                                         std::move(now), std::move(sample), std::move(execute),
                                         std::move(calendar), std::move(diskControl));
  engine->routeDiskProgress();
  return engine;
}

Engine::Engine(Private, std::shared_ptr<MainQueue> main, Store store, Clock now, Sampler sample,
               Execute execute, Calendar calendar, std::shared_ptr<DiskRunControl> diskControl)
    : main_(std::move(main)),
      store_(std::move(store)),
      now_(now ? std::move(now) : Clock([] { return Date::now(); })),
      sample_(std::move(sample)),
      execute_(std::move(execute)),
      calendar_(std::move(calendar)),
      diskControl_(std::move(diskControl)) {
  assertMain();
  const Date start = now_();
  config_ = Config::fresh(start);
  loadConfig(start);
  loadSchedule(start);
  activity_ = store_.load<Activity>("activity.json").value_or(Activity{});
  usageWatch_ = store_.load<UsageWatchState>("usage-watch.json").value_or(UsageWatchState{});
  usageWatchSaved_ = usageWatch_;
  // Yesterday's screen time is not today's.
  const Date today = calendar_.startOfDay(start);
  const auto screen = store_.load<ScreenTime>("screen-time.json");
  screenClock_ = screen && screen->day == today ? *screen : ScreenTime{.day = today};
  screenTime_ = screenClock_;
  memory_ = store_.load<Memory>("history.json").value_or(Memory{});
  loadRecords(start);
  nextRunAt_ = Schedule::next(start, config_.scheduleMinutes, calendar_);
}

Engine::~Engine() = default;

// A configuration that cannot be used as it is, is never overwritten before the
// user's text is safe in "config.json.bad"; when it cannot be made safe, the
// engine works from memory and leaves the file alone for good.
void Engine::loadConfig(Date now) {
  const auto text = store_.read(kConfigFile);
  auto decoded = text ? Config::fromJSON(std::string_view(*text), now) : std::nullopt;
  const fs::path file = store_.path(kConfigFile);
  const fs::path bad = store_.path(kBadConfigFile);
  std::error_code ec;
  if (!decoded) {
    if (!store_.exists(kConfigFile)) {
      (void)store_.save(config_, kConfigFile);
      return;
    }
    // Only a file or an empty folder is removed: never anything the user keeps in it.
    fs::remove(bad, ec);
    fs::rename(file, bad, ec);
    // Gone meanwhile: there is nothing left to keep.
    if (ec && ec != std::errc::no_such_file_or_directory) {
      configReadOnly_ = true;
    } else {
      (void)store_.save(config_, kConfigFile);
    }
    return;
  }
  config_ = std::move(*decoded);
  if (!config_.decodeIssues) return;
  fs::remove(bad, ec);
  ec.clear();
  fs::copy_file(file, bad, ec);
  if (ec) {
    configReadOnly_ = true;
    return;
  }
  config_.decodeIssues = false;
  (void)store_.save(config_, kConfigFile);
}

void Engine::loadSchedule(Date now) {
  schedule_ = store_.load<ScheduleState>("schedule.json").value_or(ScheduleState{});
  if (schedule_.lastWeeklyRun) return;
  // A first start: the weekly rules wait a week, and sweeps learn for a day.
  schedule_.lastWeeklyRun = now;
  if (configReadOnly_) {
    lastWeeklyRunUnsaved_ = true;
  } else {
    saveSchedule();
  }
  if (config_.learningUntil < now + kDay) {
    config_.learningUntil = now + kDay;
    if (!configReadOnly_) (void)store_.save(config_, kConfigFile);
  }
}

void Engine::loadRecords(Date now) {
  pruneFiles(store_, now - kLogRetention);
  closedTabs_ = store_.lines<ClosedTab>(kClosedTabsFile);
  std::reverse(closedTabs_.begin(), closedTabs_.end());
  runs_ = store_.runs(now - kDay);
  std::reverse(runs_.begin(), runs_.end());
  const auto lastLive = std::find_if(runs_.begin(), runs_.end(), [](const RunRecord& run) {
    return run.mode == RunMode::live && !run.actions.empty();
  });
  if (lastLive != runs_.end()) lastResults_ = lastLive->actions;
}

// The cleanup worker reports from its own thread; each event hops to the main
// thread and reaches the engine only if it still exists.
void Engine::routeDiskProgress() {
  if (!diskControl_) return;
  diskControl_->setReport([weak = weak_from_this(), main = main_](const DiskProgress& progress) {
    main->post([weak, progress] {
      if (const auto engine = weak.lock()) engine->diskProgress(progress);
    });
  });
}

void Engine::assertMain() const { assert(main_ && main_->onMainThread()); }

void Engine::saveSchedule() {
  ScheduleState copy = schedule_;
  // A first start's mark made while the configuration was read-only stays in memory.
  if (lastWeeklyRunUnsaved_) copy.lastWeeklyRun = std::nullopt;
  (void)store_.save(copy, "schedule.json");
}

void Engine::changeSchedule(const std::function<void(ScheduleState&)>& edit) {
  observers_.change(EngineProperty::schedule, schedule_, edit);
  saveSchedule();
}

void Engine::saveMemory() { (void)store_.save(memory_, "history.json"); }

void Engine::pruneLogs(Date now) {
  const Date monthAgo = now - kLogRetention;
  pruneFiles(store_, monthAgo);
  observers_.change(EngineProperty::closedTabs, closedTabs_, [&](std::vector<ClosedTab>& tabs) {
    std::erase_if(tabs, [&](const ClosedTab& tab) { return tab.at < monthAgo; });
  });
  observers_.change(EngineProperty::pendingLogs, pendingLogs_, [&](Logged& logs) {
    std::erase_if(logs, [&](const auto& entry) {
      return std::none_of(plan_.begin(), plan_.end(),
                          [&](const Action& action) { return action.id() == entry.first; });
    });
  });
}

void Engine::dropOldRuns(Date now) {
  const Date dayAgo = now - kDay;
  const auto old = [&](const RunRecord& run) { return run.at < dayAgo; };
  if (std::none_of(runs_.begin(), runs_.end(), old)) return;
  observers_.change(EngineProperty::runs, runs_,
                    [&](std::vector<RunRecord>& runs) { std::erase_if(runs, old); });
}

}  // namespace kelvane
