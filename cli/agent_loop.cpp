#include "cli/agent_loop.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <set>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include "cli/agent_alerts.h"
#include "cli/agent_events.h"
#include "cli/agent_log.h"
#include "cli/agent_machine.h"
#include "cli/agent_notify.h"
#include "cli/control_lock.h"
#include "cli/control_ops.h"
#include "cli/control_server.h"
#include "core/config/format.h"
#include "core/disk/disk_scanner.h"
#include "core/disk_records/disk_paths.h"
#include "core/engine/asio_main_queue.h"
#include "core/engine/engine.h"
#include "platform/linux/disk_host.h"
#include "platform/linux/proc_table.h"
#include "platform/linux/speed_agent.h"
#include "platform/linux/x11_focus_watcher.h"
#include "platform/linux/xdg.h"

namespace kelvane {
namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kDay = 86400;
// How long a stop waits for the run in flight (a process's grace period, a
// window's answer, the cleanup's current item) before the agent gives up on it.
constexpr auto kStopPatience = 60s;
// How often the focus is noted between changes: screen time credits at most
// five seconds per note.
constexpr auto kFocusEvery = 5s;
// How long the agent waits before it tries the X server's focus again.
constexpr auto kFocusRetry = 30s;
// How long the agent waits at start for a command that holds the support folder.
constexpr auto kLockPatience = 5s;

double steadySeconds() {
  return std::chrono::duration<double>(Steady::now().time_since_epoch()).count();
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// Read-only operations are not worth a line in the log.
bool quiet(const std::string& op) { return op == "state" || op == "runs"; }

class Agent final {
 public:
  Agent(const AgentOptions& options, std::string socketPath)
      : options_(options),
        socketPath_(std::move(socketPath)),
        clock_(options.clockStart, options.clockSpeed),
        main_(std::make_shared<AsioMainQueue>(io_)),
        display_(environment("DISPLAY")),
        home_(Xdg::home()),
        acts_(::geteuid() != 0),
        machine_({.now = [this] { return clock_.now(); },
                  .display = display_,
                  .home = home_,
                  .calendar = Calendar::current()}),
        notifier_(Notifier::find(environment("PATH").value_or(""),
                                 environment("DBUS_SESSION_BUS_ADDRESS").value_or(""),
                                 environment("XDG_RUNTIME_DIR").value_or(""))) {}

  // Only once no scan is at work (see busy()): its thread has posted its result.
  ~Agent() {
    if (scanThread_.joinable()) scanThread_.join();
  }
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  int run() {
    startedAt_ = clock_.now();
    buildEngine();
    auto server = ControlServer::listen(
        io_, socketPath_,
        [this](const Control::Request& request, Control::Reply reply) {
          answer(request, std::move(reply));
        },
        [](const std::string& text) { AgentLog::warning("control: " + text); }, {});
    if (!server) {
      AgentLog::error("cannot start: " + server.error());
      return 1;
    }
    server_ = std::move(server.value());
    signals_.async_wait([this](std::error_code ec, int signal) {
      if (!ec) stop(signal);
    });
    logStart();
    tick();
    if (options_.scanDisk) startScan();
    startFocus();
    io_.run();
    return exitCode_;
  }

  // Whether a thread of the agent still works (a disk scan, a run that did not
  // finish): then the program must end without waiting for it.
  bool busy() const { return scanning_ || (engine_ && engine_->running()); }

 private:
  void buildEngine() {
    const Calendar calendar = Calendar::current();
    engine_ = Engine::create(
        main_, Store(options_.folder), [this] { return clock_.now(); },
        [this] { return machine_.sample(); }, acts_ ? machine_.execute() : Execute(), calendar,
        machine_.control());
    for (const auto& run : engine_->runs()) loggedRuns_.insert(run.id);
    engine_->observe(EngineProperty::runs, [this](EngineProperty, Change change) {
      if (change == Change::didChange) logNewRuns();
    });
    engine_->observe(EngineProperty::held, [this](EngineProperty, Change change) {
      if (change == Change::didChange) tellHeld();
    });
    engine_->observe(EngineProperty::config, [this](EngineProperty, Change change) {
      if (change == Change::didChange) keepPaths();
    });
    keepPaths();
    engine_->onUsageAlert = [this](const std::vector<UsageAlert>& alerts) {
      // The log `kelvane usage` shows today's alerts from.
      if (auto kept = cli::appendAlerts(Store(options_.folder), alerts, clock_.now()); !kept)
        AgentLog::warning("cannot keep the usage alerts: " + kept.error().message);
      for (const auto& alert : alerts)
        tell(AgentEvents::alert(alert, engine_->config().usageAlerts.appCPUWindow), "usage alert");
    };
    engine_->onBackgroundStopped = [this](const std::vector<ActionResult>& results) {
      if (const auto notice = AgentEvents::backgroundStopped(results)) tell(*notice, "stopped");
    };
  }

  void logStart() {
    std::string text = "started on " + options_.folder.string() + " for user " +
                       std::to_string(::getuid()) + ", ticking every " +
                       AgentEvents::period(options_.tickSeconds) + ", control socket " +
                       socketPath_;
    text += display_ ? "; X display " + *display_ : "; no X display, so windows are unknown";
    text += notifier_.available() ? "; notifications through " + notifier_.program()
                                  : "; notifications in this log only";
    if (options_.clockStart || options_.clockSpeed != 1)
      text += "; test clock from " + clock_.now().iso8601() + " at " +
              std::to_string(options_.clockSpeed) + "x";
    AgentLog::info(text);
    if (!acts_)
      AgentLog::warning(
          "running as root: sweeps record what they would do and act on nothing, since the "
          "processes and windows of root are the system's");
    if (engine_->learning())
      AgentLog::info("learning until " + engine_->config().learningUntil.iso8601() +
                     ": runs record what they would do and act on nothing");
  }

  // ---- Ticks ----

  void tick() {
    if (stopping_) return;
    engine_->tick();
    // Automatic speed tests follow their own schedule and monthly budget; a test
    // runs on a thread of its own. An agent that acts on nothing tests nothing.
    if (acts_ && !engine_->learning()) speed_.tick(engine_->config());
    notifier_.reap();
    if (options_.scanDisk && !scanning_ && lastScan_ && clock_.now() - *lastScan_ >= kDay)
      startScan();
    const auto period = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(options_.tickSeconds));
    nextTick_ = std::max(nextTick_ + period, Steady::now());
    tickTimer_.expires_at(nextTick_);
    tickTimer_.async_wait([this](std::error_code ec) {
      if (!ec) tick();
    });
  }

  // ---- Disk scans, on a worker thread ----

  void startScan() {
    if (scanning_ || stopping_) return;
    scanning_ = true;
    if (scanThread_.joinable()) scanThread_.join();
    AgentLog::info("disk scan of " + home_ + " started");
    scanThread_ = std::thread(
        [this, home = home_, config = engine_->config(), now = clock_.now(), main = main_] {
          const double began = steadySeconds();
          DiskScan scan = DiskScanner::scan(LinuxDiskHost::environment(home, config, now));
          const double seconds = steadySeconds() - began;
          main->post([this, scan = std::move(scan), seconds]() mutable {
            scanning_ = false;
            lastScan_ = scan.at;
            AgentLog::info("disk scan done in " + Format::duration(seconds) + ": " +
                           std::to_string(scan.rules.size()) + " rules measured, " +
                           std::to_string(scan.suggestions.size()) + " large items to review");
            engine_->updateDisk(std::move(scan));
          });
        });
  }

  // ---- Focus from the X server ----

  void startFocus() {
    if (!display_ || stopping_) return;
    auto watcher =
        X11FocusWatcher::start(display_, [this](const FocusNote& note) { noteFocus(note); }, {});
    if (!watcher) {
      if (!focusFailed_) AgentLog::warning("focus: " + watcher.error() + "; trying again later");
      focusFailed_ = true;
      focusTimer_.expires_after(kFocusRetry);
      focusTimer_.async_wait([this](std::error_code ec) {
        if (!ec) startFocus();
      });
      return;
    }
    if (focusFailed_) AgentLog::info("focus: watching the X server again");
    focusFailed_ = false;
    focus_ = std::move(watcher.value());
    focusFd_ = std::make_unique<asio::posix::stream_descriptor>(io_, ::dup(focus_->fd()));
    waitForFocus();
    pollFocus();
  }

  void waitForFocus() {
    focusFd_->async_wait(asio::posix::stream_descriptor::wait_read, [this](std::error_code ec) {
      if (ec || !focus_) return;
      if (!focus_->dispatch()) return loseFocus();
      waitForFocus();
    });
  }

  // Notes the focus now and every few seconds, for screen time.
  void pollFocus() {
    if (!focus_) return;
    const auto note = focus_->current();
    if (!note) return loseFocus();
    noteFocus(*note);
    focusTimer_.expires_after(kFocusEvery);
    focusTimer_.async_wait([this](std::error_code ec) {
      if (!ec) pollFocus();
    });
  }

  void loseFocus() {
    AgentLog::warning("focus: lost the X server; trying again later");
    focusFailed_ = true;
    dropFocus();
    focusTimer_.expires_after(kFocusRetry);
    focusTimer_.async_wait([this](std::error_code ec) {
      if (!ec) startFocus();
    });
  }

  void dropFocus() {
    focusTimer_.cancel();
    if (focusFd_) {
      std::error_code ec;
      focusFd_->cancel(ec);
      focusFd_->close(ec);
    }
    focusFd_.reset();
    focus_.reset();
  }

  void noteFocus(const FocusNote& note) {
    if (stopping_) return;
    engine_->noteFocus(note.pid.value_or(0), note.window, note.active);
  }

  // ---- The control socket ----

  void answer(const Control::Request& request, Control::Reply reply) {
    if (stopping_) return reply(Control::errorReply("the agent is stopping"));
    ControlOps::Host host{.agent = facts()};
    if (options_.scanDisk) host.rescanDisk = [this] { startScan(); };
    if (quiet(request.op)) return ControlOps::handle(*engine_, request, host, std::move(reply));
    const std::string op = request.op;
    ControlOps::handle(*engine_, request, host, [op, reply](nlohmann::json value) {
      const bool ok = value.value("ok", false);
      AgentLog::info("control: " + op + (ok ? " done" : ": " + value.value("error", "failed")));
      reply(std::move(value));
    });
  }

  nlohmann::json facts() const {
    nlohmann::json j = {{"pid", ::getpid()},
                        {"startedAt", startedAt_},
                        {"tickSeconds", options_.tickSeconds},
                        {"acts", acts_},
                        {"diskScanning", bool(scanning_)},
                        {"windowsSeen", machine_.seesWindows()}};
    j["display"] = display_ ? nlohmann::json(*display_) : nlohmann::json();
    j["notifications"] = notifier_.available() ? nlohmann::json(notifier_.program()) : nullptr;
    if (options_.clockStart || options_.clockSpeed != 1) j["testClockSpeed"] = options_.clockSpeed;
    return j;
  }

  // ---- What the engine tells ----

  void logNewRuns() {
    // Oldest first, as they happened.
    const auto& runs = engine_->runs();
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
      if (!loggedRuns_.insert(it->id).second) continue;
      for (const auto& line : AgentEvents::runLines(*it)) AgentLog::write(line.level, line.text);
    }
  }

  void tellHeld() {
    const auto& held = engine_->held();
    if (!held || held == lastHeld_) return;
    lastHeld_ = held;
    tell(AgentEvents::held(*held), "held");
  }

  void tell(const AgentEvents::Notice& notice, const std::string& what) {
    AgentLog::notice(what + ": " + notice.summary + ": " + notice.body);
    notifier_.show(notice.summary, notice.body);
  }

  void keepPaths() {
    machine_.setKeptPaths(DiskPaths::keptEntries(engine_->config().allowlist.paths, home_));
  }

  // ---- Stopping ----

  void stop(int signal) {
    if (stopping_) return;
    stopping_ = true;
    AgentLog::notice(std::string("stopping on ") + ::sigabbrev_np(signal));
    tickTimer_.cancel();
    dropFocus();
    if (engine_->diskRun()) {
      AgentLog::notice("stopping the disk cleanup in progress");
      engine_->stopDisk();
    }
    stopBy_ = Steady::now() + kStopPatience;
    waitForRun();
  }

  void waitForRun() {
    if (engine_->running() && Steady::now() < stopBy_) {
      stopTimer_.expires_after(50ms);
      stopTimer_.async_wait([this](std::error_code) { waitForRun(); });
      return;
    }
    if (engine_->running()) {
      AgentLog::error("the run in flight did not finish in time; its results are not recorded");
      exitCode_ = 1;
    }
    engine_->save();
    AgentLog::info("saved activity and screen time; stopped");
    server_.reset();
    io_.stop();
  }

  AgentOptions options_;
  std::string socketPath_;
  AgentClock clock_;
  asio::io_context io_;
  std::shared_ptr<AsioMainQueue> main_;
  std::optional<std::string> display_;
  std::string home_;
  bool acts_;
  LiveMachine machine_;
  Notifier notifier_;
  SpeedAgent speed_{Store(options_.folder),
                    {.now = [this] { return clock_.now(); },
                     .finished =
                         [](const SpeedSession::Report& report) {
                           const auto* failed = std::get_if<SpeedTest::Failed>(&report.outcome);
                           AgentLog::info(failed ? "automatic speed test failed: " + failed->message
                                                 : "automatic speed test done");
                         }}};
  std::shared_ptr<Engine> engine_;
  std::unique_ptr<ControlServer> server_;
  asio::signal_set signals_{io_, SIGTERM, SIGINT, SIGHUP};
  asio::steady_timer tickTimer_{io_};
  asio::steady_timer focusTimer_{io_};
  asio::steady_timer stopTimer_{io_};
  Steady::time_point nextTick_ = Steady::now();
  Steady::time_point stopBy_;
  std::unique_ptr<X11FocusWatcher> focus_;
  std::unique_ptr<asio::posix::stream_descriptor> focusFd_;
  bool focusFailed_ = false;
  std::thread scanThread_;
  std::atomic<bool> scanning_{false};
  std::optional<Date> lastScan_;
  std::set<Uuid> loggedRuns_;
  std::optional<HeldRun> lastHeld_;
  Date startedAt_;
  bool stopping_ = false;
  int exitCode_ = 0;
};

// Takes the support folder's lock, waiting a moment for a command that holds it.
std::optional<SupportLock> lockFolder(const std::filesystem::path& folder) {
  const auto deadline = Steady::now() + kLockPatience;
  for (;;) {
    auto lock = SupportLock::take(folder);
    if (lock) return std::move(lock.value());
    if (!lock.error().held) {
      AgentLog::error("cannot start: " + lock.error().message);
      return std::nullopt;
    }
    if (Steady::now() >= deadline) {
      AgentLog::error("cannot start: another agent runs on " + folder.string());
      return std::nullopt;
    }
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

AgentClock::AgentClock(std::optional<Date> start, double speed)
    : start_(start), speed_(speed), realStart_(steadySeconds()) {
  if (speed_ != 1 && !start_) start_ = Date::now();
}

Date AgentClock::now() const {
  if (!start_) return Date::now();
  return *start_ + (steadySeconds() - realStart_) * speed_;
}

int runAgent(const AgentOptions& options) {
  // Sweeps never stop the program that runs them: its process takes the name
  // the guards protect as the application's own.
  ::prctl(PR_SET_NAME, "Kelvane");
  ::signal(SIGPIPE, SIG_IGN);
  ProcTable::serveShell();
  const auto socketPath =
      Control::socketPath(environment("XDG_RUNTIME_DIR").value_or(""), options.folder, ::getuid());
  if (!socketPath) {
    AgentLog::error("cannot start: no runtime folder for the control socket (XDG_RUNTIME_DIR)");
    return 1;
  }
  const auto lock = lockFolder(options.folder);
  if (!lock) return 1;
  auto agent = std::make_unique<Agent>(options, *socketPath);
  const int code = agent->run();
  if (agent->busy()) {
    // A worker thread is still at work (a long disk scan, a run that would not
    // end): everything is saved, so the program ends without waiting for it.
    std::fflush(nullptr);
    std::_Exit(code);
  }
  return code;
}

}  // namespace kelvane
