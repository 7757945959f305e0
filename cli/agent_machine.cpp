#include "cli/agent_machine.h"

#include <chrono>
#include <unistd.h>

#include "core/shell/shell.h"
#include "core/shell/tool_locator.h"
#include "platform/linux/browser_actions.h"
#include "platform/linux/browser_procs.h"
#include "platform/linux/browser_source.h"
#include "platform/linux/disk_cleaner.h"
#include "platform/linux/disk_host.h"
#include "platform/linux/freedesktop_trash.h"
#include "platform/linux/in_use.h"
#include "platform/linux/process_stopper.h"
#include "platform/linux/sampler.h"
#include "platform/linux/system_actions_linux.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_desktop.h"
#include "platform/linux/x11_window_actions.h"
#include "platform/linux/xdg.h"

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;

// How long one look at who holds which files serves the cleanup: reading every
// process's descriptors for each of thousands of items would take minutes, and
// a look a moment old still catches a program that opened a file since the scan.
constexpr auto kInUseFresh = std::chrono::seconds(2);
// How long the agent waits before it looks for an X server that went away again.
constexpr auto kDisplayRetry = std::chrono::seconds(30);

// The in-use look shared by the cleanup's calls.
class InUseCache {
 public:
  std::optional<std::string> reason(const std::string& path) {
    const std::lock_guard lock(mutex_);
    if (!look_ || Clock::now() - at_ >= kInUseFresh) {
      look_ = InUse::read(ProcReader(), ::getpid());
      at_ = Clock::now();
    }
    return look_->reason(path);
  }

 private:
  std::mutex mutex_;
  std::optional<InUse> look_;
  Clock::time_point at_;
};

// The cleanup worker with the control it holds on to.
struct Cleanup {
  std::shared_ptr<DiskRunControl> control;
  DiskCleaner cleaner;
};

// X11WindowActions ends an application's process with the stopper of the
// system actions. When the application quit by itself once its last window
// closed, there is nothing left to stop: the quit is done.
StopFunction stopAfterWindows(const LinuxActionLayers::Deed& endProcess) {
  return [endProcess](const Action& action) {
    Outcome outcome = endProcess(action);
    if (outcome.result.starts_with("skipped: no longer running")) return Outcome::done();
    return outcome;
  };
}

}  // namespace

// The sampler's one connection to the X server, opened again only when it is
// no longer healthy (a new connection per look would cost tens of milliseconds).
struct LiveMachine::Desktop {
  std::optional<std::string> display;
  std::unique_ptr<X11Connection> x;
  std::optional<Clock::time_point> lastTry;
  bool* seen = nullptr;

  std::optional<DesktopView> look() {
    *seen = false;
    if (!display) return std::nullopt;
    if (!x || !x->healthy()) {
      x.reset();
      if (lastTry && Clock::now() - *lastTry < kDisplayRetry) return std::nullopt;
      lastTry = Clock::now();
      auto opened = X11Connection::open(display);
      if (!opened) return std::nullopt;
      x = std::move(opened.value());
    }
    auto view = X11Desktop::look(*x);
    if (!view) return std::nullopt;
    *seen = true;
    return std::move(view.value());
  }
};

LiveMachine::LiveMachine(Options options)
    : options_(std::move(options)), desktop_(std::make_unique<Desktop>()) {
  desktop_->display = options_.display;
  desktop_->seen = &seesWindows_;
  LinuxSamplerSetup setup = LinuxSamplerSetup::forThisMachine();
  if (options_.now) setup.now = options_.now;
  setup.desktop = [desktop = desktop_.get()] { return desktop->look(); };
  auto browsers = std::make_shared<BrowserSource>(BrowserAccess::forThisUser());
  setup.browsers = [browsers](
                       const std::vector<Proc>& procs,
                       const std::vector<WindowInfo>& windows) -> std::optional<BrowserView> {
    return browsers->read(procs, windows);
  };
  sampler_ = std::make_unique<LinuxSampler>(std::move(setup));
}

LiveMachine::~LiveMachine() = default;

Snapshot LiveMachine::sample() { return sampler_->sample(); }

void LiveMachine::setKeptPaths(std::vector<std::string> paths) {
  const std::lock_guard lock(*keptMutex_);
  *kept_ = std::move(paths);
}

Execute LiveMachine::execute() {
  const uint32_t me = ::getuid();
  const std::string home = options_.home;
  auto inUse = std::make_shared<InUseCache>();
  DiskCleanerSetup setup{
      .trash = FreedesktopTrash(Xdg::homeTrash(home), me, options_.calendar),
      .kept =
          [mutex = keptMutex_, kept = kept_] {
            const std::lock_guard lock(*mutex);
            return *kept;
          },
      .inUse = [inUse](const std::string& path) { return inUse->reason(path); },
      .run = [home](const std::vector<std::string>& args) -> std::optional<ShellResult> {
        if (args.empty()) return std::nullopt;
        return Shell::run(args, ToolLocator::environment(args.front(), home),
                          LinuxDiskHost::kToolTimeoutSeconds);
      }};
  if (options_.now) setup.now = options_.now;
  auto cleanup =
      std::make_shared<Cleanup>(Cleanup{control_, DiskCleaner(std::move(setup), *control_)});

  LinuxActionLayers layers;
  if (options_.display) {
    const auto windows = std::make_shared<X11WindowActions>(options_.display, StopFunction());
    layers.closeWindow = [windows](const Action& action) { return windows->closeWindow(action); };
    layers.quitApp = [display = options_.display](const Action& action,
                                                  const LinuxActionLayers::Deed& endProcess) {
      return X11WindowActions(display, stopAfterWindows(endProcess)).quitApp(action);
    };
  }
  const auto tabs = std::make_shared<BrowserActions>(BrowserAccess::forThisUser(),
                                                     [me] { return BrowserProcs::running(me); });
  layers.closeTab = [tabs](const Action& action) { return tabs->closeTab(action); };
  layers.closeBrowserWindow = [tabs](const Action& action) {
    return tabs->closeBrowserWindow(action);
  };
  return Executor::over(std::make_shared<LinuxSystemActions>(
      ProcessStopper(me), std::move(layers),
      std::shared_ptr<const DiskCleaner>(cleanup, &cleanup->cleaner)));
}

}  // namespace kelvane
