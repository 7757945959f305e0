#pragma once
// Engine: the one long-lived sweep engine. It keeps what the user sees about
// sweeping (snapshot, plan, queue, skips, held run, runs, closed tabs, disk
// cleanup, usage alerts, screen time), turns schedule slots into runs, carries
// runs out through an Execute function on a worker thread, and remembers what
// failed. Files live in the support folder of its Store.
//
// Main thread only: every operation asserts (in debug builds) that it runs on
// the MainQueue's thread. Runs and the disk cleanup's progress come back
// through the MainQueue. Owned by std::shared_ptr; background work holds it
// weakly and does nothing once it is gone.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/actions/action.h"
#include "core/actions/pick.h"
#include "core/config/config.h"
#include "core/config/schedule.h"
#include "core/disk/disk_run.h"
#include "core/disk/disk_run_control.h"
#include "core/disk_records/disk_records.h"
#include "core/engine/executor.h"
#include "core/engine/main_queue.h"
#include "core/engine/memory.h"
#include "core/engine/observers.h"
#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/planning/manual_planner.h"
#include "core/store/records.h"
#include "core/store/store.h"
#include "core/support/calendar.h"
#include "core/support/uuid.h"
#include "core/usage/screen_time.h"
#include "core/usage/usage_watch.h"
#include "core/usage/usage_watch_state.h"

namespace kelvane {

// A run held back until the user confirms it.
struct HeldRun {
  Date at;                      // When it was held.
  std::string reason;           // The safety reason shown to the user.
  std::vector<Action> actions;  // The scheduled actions held.
  bool weekly = false;          // It included the weekly disk rules.
  bool operator==(const HeldRun&) const = default;
};

// One run in flight: its worker thread, and who waits for its end.
struct RunTask;

class Engine final : public std::enable_shared_from_this<Engine> {
 public:
  // Seconds a paused disk cleanup may stay paused before the engine stops it.
  static constexpr double pauseLimit = 600;

  using Clock = std::function<Date()>;
  using Sampler = std::function<Snapshot()>;
  using ResultsHandler = std::function<void(const std::vector<ActionResult>&)>;
  using RunsHandler = std::function<void(const std::vector<RunRecord>&)>;
  using PicksHandler = std::function<void(const std::vector<ActionResult>&,
                                          const std::vector<ManualPlanner::Refused>&)>;
  using AlertsHandler = std::function<void(const std::vector<UsageAlert>&)>;
  // Closed-tab entries logged per action identity.
  using Logged = std::map<std::string, std::vector<Uuid>>;

  // Builds the engine on the main thread and loads its state from the store,
  // repairing what it must (a broken "config.json" is set aside as
  // "config.json.bad"; a first start learns for a day). Nothing here fails:
  // unreadable files give defaults and write errors are ignored. Without an
  // `execute`, runs only record what they would do. An empty clock reads the
  // system clock; `main` must not be null. With a disk control, the cleanup's progress is routed to
  // the engine through `main`.
  static std::shared_ptr<Engine> create(std::shared_ptr<MainQueue> main, Store store, Clock now,
                                        Sampler sample, Execute execute, Calendar calendar,
                                        std::shared_ptr<DiskRunControl> diskControl = nullptr);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // ---- Observed state ----
  const std::optional<Snapshot>& snapshot() const { return snapshot_; }
  // What the next run would do, after memory, queue and skip handling.
  const std::vector<Action>& plan() const { return plan_; }
  const Activity& activity() const { return activity_; }
  const ScreenTime& screenTime() const { return screenTime_; }
  const Config& config() const { return config_; }
  const ScheduleState& schedule() const { return schedule_; }
  Date nextRunAt() const { return nextRunAt_; }
  // Runs of the last 24 hours, newest first.
  const std::vector<RunRecord>& runs() const { return runs_; }
  // Identities of planned actions the next run leaves out.
  const std::set<std::string>& skipped() const { return skipped_; }
  // Targets queued for the next run, each once, in the order queued.
  const std::vector<Pick>& queued() const { return queued_; }
  // Identities of the planned actions that stand for queued picks.
  const std::set<std::string>& queuedIDs() const { return queuedIDs_; }
  const Memory& memory() const { return memory_; }
  // The actions of the most recent run, with outcomes.
  const std::vector<ActionResult>& lastResults() const { return lastResults_; }
  const std::optional<HeldRun>& held() const { return held_; }
  // Closed-tab entries waiting for the outcome of the action that logged them.
  const Logged& pendingLogs() const { return pendingLogs_; }
  // Closed tabs of the last 30 days, newest first.
  const std::vector<ClosedTab>& closedTabs() const { return closedTabs_; }
  // True when "config.json" could not be set aside for repair; it is then never written.
  bool configReadOnly() const { return configReadOnly_; }
  // True exactly while a run is in flight.
  bool running() const { return running_; }
  const std::optional<DiskRun>& diskRun() const { return diskRun_; }
  const std::optional<DiskScan>& diskScan() const { return diskScan_; }
  const UsageWatchState& usageWatch() const { return usageWatch_; }
  void setDiskRun(std::optional<DiskRun> run);
  // Stores a scan as it is; updateDisk() also applies the allowlist and replans.
  void setDiskScan(std::optional<DiskScan> scan);

  // ---- Other state ----
  const Store& store() const { return store_; }
  const Calendar& calendar() const { return calendar_; }
  const FocusLog& focus() const { return focus_; }
  int64_t ticks() const { return ticks_; }
  bool planIncludesWeekly() const { return planIncludesWeekly_; }
  bool pauseRanOut() const { return pauseRanOut_; }
  bool lastWeeklyRunUnsaved() const { return lastWeeklyRunUnsaved_; }
  const std::optional<Date>& weeklyBefore() const { return weeklyBefore_; }
  // The moment of the current clock.
  Date now() const { return now_(); }

  // ---- Derived state ----
  bool learning() const;          // Now is before config.learningUntil.
  bool paused() const;            // The schedule's pause lasts beyond now.
  bool nextRunPaused() const;     // The pause lasts beyond nextRunAt.
  bool nextRunLearning() const;   // nextRunAt is before config.learningUntil.
  bool nextRunCancelled() const;  // The user cancelled the slot at nextRunAt.
  bool weeklyDue() const;         // The weekly disk rules are due now.
  // Lines for the user: every result of the last run that needs attention
  // ("target: result"), then every item left alone after repeated failures.
  std::vector<std::string> needsYou() const;

  // ---- Callbacks, called on the main thread ----
  ResultsHandler onStopped;            // Results of a run stopped early.
  std::function<void()> onFinish;      // The end of every run.
  AlertsHandler onUsageAlert;          // New usage alerts of a tick.
  ResultsHandler onBackgroundStopped;  // CPU hogs a scheduled run stopped.

  // ---- Observation ----
  // Registers `observer` for `property`: it is told before and after every real change.
  uint64_t observe(EngineProperty property, Observers::Observer observer);
  void unobserve(uint64_t token);

  // ---- Settings and schedule ----
  // Stores and saves the configuration (unless read-only), drops disk
  // suggestions the allowlist now keeps, moves the next slot (and a
  // cancellation of it) when the schedule period changed, and replans.
  void update(Config config);
  void endLearning();
  void cancelNextRun();
  void undoCancel();
  // Pauses sweeps until `until`, or until resume() when none is given.
  void pause(std::optional<Date> until = std::nullopt);
  void resume();
  void skip(const Action& action);
  void unskip(const Action& action);
  void discardHeld();
  // Writes the activity and the screen-time count (errors ignored).
  void save();
  // Silences a usage-alert key until tomorrow.
  void quietForToday(const std::string& key);
  void neverAlert(const std::string& app);
  void alertAgain(const std::string& app);

  // ---- Ticks and runs ----
  // Ticks with a fresh sample; does nothing without a sampler.
  void tick();
  // Folds the snapshot in, raises usage alerts, updates the memory, rebuilds
  // the plan and, when the snapshot's time has reached nextRunAt, runs the
  // slot. A snapshot whose time is not a number, or lies beyond the distant
  // past or future, is ignored.
  void tick(Snapshot snapshot);
  // Runs now without a slot; `done` gets the run records this run added,
  // newest first (at once, or when the run it started has finished).
  void runNow(RunsHandler done = nullptr);
  // Notes that `pid` (and `window`) came to the front; `active` when the user is active.
  void noteFocus(int32_t pid, std::optional<uint32_t> window, bool active);
  // Rebuilds the plan from a snapshot.
  void replan(const Snapshot& snapshot);
  // The planners' combined output for a snapshot and a configuration.
  std::vector<Action> rawPlan(const Snapshot& snapshot, const Config& config) const;
  // Turns a slot (or, without one, a manual request) into a run at `at`.
  void run(std::optional<Date> slot, Date at);
  // True when the user has not brought the action's window or application to
  // the front since the last tick.
  bool untouched(const Action& action) const;

  // ---- Queue, keep and act ----
  void queue(const std::vector<Pick>& picks);
  void unqueue(const std::vector<Pick>& picks);
  // The actions of the plan, in plan order, that stand for the picks.
  std::vector<Action> covering(const std::vector<Pick>& picks) const;
  // The actions followed by those of queued picks that are not among them;
  // sets queuedIDs.
  std::vector<Action> withQueue(std::vector<Action> actions, const Snapshot& snapshot);
  // Adds the allowlist entry that keeps the action's target, when there is one.
  void keep(const Action& action);
  // Adds the allowlist entries that keep the picks; returns how many were new.
  // Nothing happens without a snapshot.
  int keep(const std::vector<Pick>& picks);
  // The allowlist entry that would keep an action's target; nothing for browser
  // windows, disk cleanups and targets no longer in the snapshot.
  std::optional<ManualPlanner::KeepEntry> keepEntry(const Action& action) const;
  // Stops treating `path` as respawning and keeps it in the allowlist.
  void keepRespawning(const std::string& path);
  // Acts on picks at once; `done` gets the results and the picks refused.
  void actNow(const std::vector<Pick>& picks, bool quitNow, PicksHandler done = nullptr);
  // Starts a run for `actions`: logs the tabs it closes, sets up the disk
  // cleanup's progress and executes the rest on a worker thread; finish()
  // follows on the main thread, then `done` (else onStopped) gets the results.
  void act(std::vector<Action> actions, Date at, bool manual, bool scheduled,
           ResultsHandler done = nullptr);
  // Moves the picked files (minus kept paths) to the Trash as a manual run.
  void trashFiles(const std::set<std::string>& paths, ResultsHandler done = nullptr);
  void ignoreFiles(const std::set<std::string>& paths);
  void setDiskRules(const std::set<DiskRule>& rules, bool on);
  void forgetClosedTabs(const std::set<Uuid>& ids);

  // ---- Finishing runs ----
  // Teaches the memory, keeps or withdraws logged tabs, refreshes the disk
  // scan, rolls back an unfinished weekly mark, records the run and reports.
  void finish(const std::vector<ActionResult>& results, Date at, const Logged& logged, bool manual,
              bool scheduled, std::optional<Date> weeklyBefore);
  // Appends a run to "runs.jsonl" and to runs.
  void record(RunMode mode, std::vector<ActionResult> results, Date at);
  // Marks the weekly disk rules as run at `at`, when they are due.
  void markWeeklyRun(Date at);
  // Acts on the held run, unless none is held or a run is in flight.
  void confirmHeld(ResultsHandler done = nullptr);
  // Pause, resume and stop the running disk cleanup; nothing happens when no
  // cleanup is running. `done` gets the results if the run ends by a stop.
  void pauseDisk(ResultsHandler done = nullptr);
  void resumeDisk();
  void stopDisk(ResultsHandler done = nullptr);
  // Applies one event of the cleanup worker to diskRun.
  void diskProgress(const DiskProgress& progress);
  // Stores a new scan without the suggestions the allowlist keeps, and replans.
  void updateDisk(DiskScan scan);

 private:
  struct Private {};  // Keeps construction to create().

 public:
  Engine(Private, std::shared_ptr<MainQueue> main, Store store, Clock now, Sampler sample,
         Execute execute, Calendar calendar, std::shared_ptr<DiskRunControl> diskControl);

 private:
  // Construction steps.
  void loadConfig(Date now);
  void loadSchedule(Date now);
  void loadRecords(Date now);
  void routeDiskProgress();

  void assertMain() const;
  // Writes the schedule; a first start's mark made while the configuration was
  // read-only is left out.
  void saveSchedule();
  // Applies `edit` to the schedule and saves it.
  void changeSchedule(const std::function<void(ScheduleState&)>& edit);
  void saveMemory();
  void setMemory(Memory memory);
  void setPlan(std::vector<Action> plan);
  void setCurrentRun(std::shared_ptr<RunTask> task);
  std::vector<Action> filtered(std::vector<Action> raw, const Snapshot& snapshot);
  bool weeklyPlanned(Date at) const;
  void evaluateUsage(const Snapshot& snapshot);
  void pruneLogs(Date now);
  void dropOldRuns(Date now);
  void runLive(std::optional<Date> slot, Date at, const std::vector<Action>& scheduled,
               const std::vector<Action>& queuedActions);
  void emptyQueue();
  std::vector<WindowInfo> windowsAtRisk(const std::vector<Action>& scheduled) const;
  Logged logClosedTabs(std::vector<Action>& actions, Date at, std::vector<ActionResult>& refused);
  void startDiskRun(const std::vector<Action>& actions);
  // Applies `edit` to the disk run, which must be present.
  void editDiskRun(const std::function<void(DiskRun&)>& edit);
  void startRunTask(std::vector<Action> actions, std::vector<ActionResult> prepared, Date at,
                    Logged logged, bool manual, bool scheduled, std::optional<Date> weeklyBefore,
                    ResultsHandler done);
  void dropCleanedItems(const std::vector<ActionResult>& results);
  void dropSuggestions(const std::function<bool(const Suggestion&)>& drop);
  std::vector<std::string> keptPaths() const;

  std::shared_ptr<MainQueue> main_;
  Store store_;
  Clock now_;
  Sampler sample_;
  Execute execute_;
  Calendar calendar_;
  std::shared_ptr<DiskRunControl> diskControl_;
  Observers observers_;

  std::optional<Snapshot> snapshot_;
  std::vector<Action> plan_;
  Activity activity_;
  ScreenTime screenTime_;
  Config config_;
  ScheduleState schedule_;
  Date nextRunAt_;
  std::vector<RunRecord> runs_;
  std::set<std::string> skipped_;
  std::vector<Pick> queued_;
  std::set<std::string> queuedIDs_;
  Memory memory_;
  std::vector<ActionResult> lastResults_;
  std::optional<HeldRun> held_;
  Logged pendingLogs_;
  std::vector<ClosedTab> closedTabs_;
  bool configReadOnly_ = false;
  bool running_ = false;
  std::shared_ptr<RunTask> currentRun_;
  std::optional<DiskRun> diskRun_;
  std::optional<DiskScan> diskScan_;
  UsageWatchState usageWatch_;

  ScreenTime screenClock_;
  FocusLog focus_;
  int64_t ticks_ = 0;
  bool planIncludesWeekly_ = false;
  std::optional<Date> weeklyBefore_;
  bool pauseRanOut_ = false;
  bool lastWeeklyRunUnsaved_ = false;
  // The usage-alert state as last written; the evaluation time alone does not
  // make a write (see evaluateUsage).
  UsageWatchState usageWatchSaved_;
};

}  // namespace kelvane
