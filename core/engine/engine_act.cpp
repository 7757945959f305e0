// Engine: starting runs. The tabs a run closes are logged before anything is
// closed, the disk cleanup's progress is set up, and the actions execute on a
// worker thread whose results come back through the main queue.
#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <utility>

#include "core/config/format.h"
#include "core/disk_records/disk_paths.h"
#include "core/engine/engine.h"
#include "core/engine/run_task.h"

namespace kelvane {
namespace {

constexpr const char* kPickedRow = "picked";

bool closesTabs(const Action& action) {
  return action.kind == ActionKind::closeTab || action.kind == ActionKind::closeBrowserWindow;
}

std::vector<ActionResult> withoutResults(const std::vector<Action>& actions) {
  std::vector<ActionResult> results;
  for (const Action& action : actions)
    results.push_back({.action = action, .result = Outcome::failed("no result").result});
  return results;
}

// A run stopped because its pause ran out says so beside what it did not finish.
void notePauseRanOut(std::vector<ActionResult>& results) {
  for (ActionResult& result : results)
    if (result.notRun() || result.cutShort())
      result.note = result.note ? *result.note + "; pause ran out" : "pause ran out";
}

}  // namespace

void Engine::act(std::vector<Action> actions, Date at, bool manual, bool scheduled,
                 ResultsHandler done) {
  assertMain();
  if (currentRun_) {
    // One run at a time: a second one would share the first's disk control and
    // end "running" while the first still runs. It starts when the first ends.
    currentRun_->whenDone.push_back([weak = weak_from_this(), actions = std::move(actions), at,
                                     manual, scheduled, done = std::move(done)]() mutable {
      if (const auto engine = weak.lock())
        engine->act(std::move(actions), at, manual, scheduled, std::move(done));
    });
    return;
  }
  const std::optional<Date> weeklyBefore = std::exchange(weeklyBefore_, std::nullopt);
  if (!execute_ || actions.empty()) {
    record(RunMode::live, {}, at);
    if (done) done({});
    return;
  }
  std::vector<ActionResult> prepared;
  Logged logged = logClosedTabs(actions, at, prepared);
  startDiskRun(actions);
  startRunTask(std::move(actions), std::move(prepared), at, std::move(logged), manual, scheduled,
               weeklyBefore, std::move(done));
}

// Writes the tabs about to close to "closed-tabs.jsonl" first, so that a crash
// mid-run still leaves the list. The tabs of one browser window share a group.
// When the list cannot be written, no tab is closed: those actions leave the
// run and their results go to `refused`.
Engine::Logged Engine::logClosedTabs(std::vector<Action>& actions, Date at,
                                     std::vector<ActionResult>& refused) {
  std::vector<ClosedTab> entries;
  Logged logged;
  std::map<std::pair<std::string, int64_t>, Uuid> groups;
  for (const Action& action : actions) {
    if (!closesTabs(action)) continue;
    std::vector<BrowserTab> tabs = action.windowTabs.value_or(std::vector<BrowserTab>{});
    if (action.tab) tabs = {*action.tab};
    for (const BrowserTab& tab : tabs) {
      const Uuid group =
          groups.try_emplace({tab.browser, tab.windowID}, Uuid::random()).first->second;
      entries.push_back({.id = Uuid::random(),
                         .at = at,
                         .browser = tab.browser,
                         .url = tab.url,
                         .title = tab.title,
                         .profile = tab.profile,
                         .group = group});
      logged[action.id()].push_back(entries.back().id);
    }
  }
  if (entries.empty()) return logged;
  if (store_.appendLines(entries, kClosedTabsFile)) {
    observers_.change(EngineProperty::closedTabs, closedTabs_, [&](std::vector<ClosedTab>& tabs) {
      tabs.insert(tabs.begin(), entries.rbegin(), entries.rend());
    });
    observers_.change(EngineProperty::pendingLogs, pendingLogs_, [&](Logged& pending) {
      for (const auto& [id, uuids] : logged) pending[id] = uuids;
    });
    return logged;
  }
  for (const Action& action : actions)
    if (closesTabs(action))
      refused.push_back({.action = action, .result = "failed: could not save the tab list"});
  std::erase_if(actions, closesTabs);
  return {};
}

void Engine::startDiskRun(const std::vector<Action>& actions) {
  std::set<std::string> rows;
  for (const Action& action : actions)
    if (action.kind == ActionKind::cleanDisk && action.disk)
      rows.insert(action.disk->rule ? std::string(DiskRules::rawValue(*action.disk->rule))
                                    : kPickedRow);
  if (rows.empty()) return;
  if (diskControl_) diskControl_->reset();
  observers_.assign(EngineProperty::diskRun, diskRun_, std::optional<DiskRun>(DiskRun(rows)));
}

void Engine::startRunTask(std::vector<Action> actions, std::vector<ActionResult> prepared, Date at,
                          Logged logged, bool manual, bool scheduled,
                          std::optional<Date> weeklyBefore, ResultsHandler done) {
  auto task = std::make_shared<RunTask>();
  // Runs on the main thread with the executed results; the engine may be gone
  // by then, and the results still reach the completion.
  auto deliver = [weak = weak_from_this(), task, prepared = std::move(prepared), at,
                  logged = std::move(logged), manual, scheduled, weeklyBefore,
                  done = std::move(done)](std::vector<ActionResult> executed) mutable {
    std::vector<ActionResult> results = std::move(prepared);
    results.insert(results.end(), std::make_move_iterator(executed.begin()),
                   std::make_move_iterator(executed.end()));
    const auto engine = weak.lock();
    if (engine && engine->pauseRanOut_) notePauseRanOut(results);
    const ResultsHandler completion = done ? done : (engine ? engine->onStopped : nullptr);
    if (engine) engine->finish(results, at, logged, manual, scheduled, weeklyBefore);
    if (completion) completion(results);
    if (task->thread.joinable()) task->thread.join();
    for (auto& waiter : std::exchange(task->whenDone, {})) waiter();
  };
  setCurrentRun(task);
  const auto pending = std::make_shared<const std::vector<Action>>(std::move(actions));
  try {
    task->thread = std::thread([execute = execute_, pending, main = main_, deliver]() mutable {
      std::vector<ActionResult> executed;
      if (!pending->empty()) {
        try {
          executed = execute(*pending);
        } catch (...) {
          executed = withoutResults(*pending);
        }
      }
      main->post([deliver = std::move(deliver), executed = std::move(executed)]() mutable {
        deliver(std::move(executed));
      });
    });
  } catch (const std::system_error&) {
    // No thread for the run: it ends at once, with nothing carried out.
    main_->post(
        [deliver, failed = withoutResults(*pending)]() mutable { deliver(std::move(failed)); });
  }
}

void Engine::actNow(const std::vector<Pick>& picks, bool quitNow, PicksHandler done) {
  assertMain();
  // Without a snapshot only disk rules can be picked; the rest is "gone".
  const Snapshot none;
  auto picked =
      ManualPlanner::actions(picks, snapshot_ ? *snapshot_ : none, config_, diskScan_, quitNow);
  act(std::move(picked.actions), now(), true, false,
      [done = std::move(done),
       refused = std::move(picked.refused)](const std::vector<ActionResult>& results) {
        if (done) done(results, refused);
      });
}

void Engine::trashFiles(const std::set<std::string>& paths, ResultsHandler done) {
  assertMain();
  const std::string home = diskScan_ ? diskScan_->home : "";
  const auto kept = keptPaths();
  std::map<std::string, int64_t> sizes;
  if (diskScan_)
    for (const Suggestion& suggestion : diskScan_->suggestions)
      sizes[suggestion.path] = suggestion.bytes;
  DiskJob job{.trash = true};
  for (const std::string& path : paths) {
    if (DiskPaths::kept(path, kept)) continue;
    // Picked files are judged against the scanned home, else their own folder.
    const std::string root =
        home.empty() ? std::filesystem::path(path).parent_path().string() : home;
    const auto size = sizes.find(path);
    job.items.push_back(
        {.path = path, .root = root, .bytes = size == sizes.end() ? 0 : size->second});
    job.bytes += job.items.back().bytes;
  }
  job.count = static_cast<int64_t>(job.items.size());
  std::vector<Action> actions;
  if (!job.items.empty())
    actions.push_back({.rule = Rule::disk,
                       .kind = ActionKind::cleanDisk,
                       .target = std::to_string(job.count) + " files you picked",
                       .reason = "to the Trash · " + Format::fileBytes(job.bytes),
                       .disk = std::move(job)});
  act(std::move(actions), now(), true, false,
      [weak = weak_from_this(), paths,
       done = std::move(done)](const std::vector<ActionResult>& results) {
        if (const auto engine = weak.lock())
          engine->dropSuggestions([&](const Suggestion& s) {
            return paths.contains(s.path) && !DiskPaths::exists(s.path);
          });
        if (done) done(results);
      });
}

}  // namespace kelvane
