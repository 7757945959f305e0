// One sweep tick's planning work: Activity::updated followed by Planner::plan,
// over a generated desktop. At scale 1 the desktop has 2,000 processes (deep
// parent chains, 40 terminals), 120 applications, 300 windows and 500 tabs in
// 25 browser windows; scales 2 and 4 have two and four times as much. The
// activity record starts with an hour of CPU history (one sample a minute) for
// every process.
#include <cstdint>
#include <string>
#include <utility>

#include <benchmark/benchmark.h>

#include "core/config/config.h"
#include "core/model/activity.h"
#include "core/planning/planner.h"

namespace kelvane {
namespace {

constexpr uint32_t kMe = 501;
constexpr double kTick = 60;
constexpr double kHorizon = 3720;  // The engine's horizon under the default limits.

Proc makeProc(int32_t pid, int32_t ppid, std::string name, std::string path) {
  return Proc{.pid = pid,
              .ppid = ppid,
              .uid = kMe,
              .name = std::move(name),
              .path = std::move(path),
              .cpu = 1,
              .rss = 50'000'000,
              .started = Date(0)};
}

void addApps(Snapshot& s, int scale, int32_t& pid) {
  for (int i = 0; i < 120 * scale; ++i) {
    const std::string name = "App" + std::to_string(i);
    const std::string bundle = "/Applications/" + name + ".app";
    const bool chrome = i == 0;
    s.apps.push_back({.pid = pid,
                      .bundleID = chrome ? "com.google.Chrome" : "com.example." + name,
                      .name = chrome ? "Chrome" : name,
                      .bundlePath = bundle,
                      .policy = i % 6 == 5 ? AppPolicy::accessory : AppPolicy::regular});
    s.procs.push_back(makeProc(pid, 1, name, bundle + "/Contents/MacOS/" + name));
    // Two helpers inside each bundle.
    for (int h = 1; h <= 2; ++h)
      s.procs.push_back(makeProc(pid + h, pid, name + " Helper", bundle + "/Contents/Helper"));
    pid += 3;
  }
}

void addTerminals(Snapshot& s, int scale, int32_t& pid) {
  for (int t = 0; t < 40 * scale; ++t) {
    const std::string tty = "ttys" + std::to_string(t);
    s.ttyIdle[tty] = t % 2 == 0 ? 5 : 7200;
    Proc login = makeProc(pid, 1, "login", "/usr/bin/login");
    login.uid = 0;
    login.tty = tty;
    s.procs.push_back(login);
    for (int depth = 1; depth <= 4; ++depth) {
      Proc p = makeProc(pid + depth, pid + depth - 1, depth == 1 ? "zsh" : "tool", "/opt/tool");
      p.tty = tty;
      s.procs.push_back(p);
    }
    pid += 5;
  }
}

// Background processes in chains 40 deep, some listening on ports.
void addChains(Snapshot& s, int total, int32_t& pid) {
  while (static_cast<int>(s.procs.size()) < total) {
    for (int depth = 0; depth < 40 && static_cast<int>(s.procs.size()) < total; ++depth, ++pid) {
      Proc p = makeProc(pid, depth == 0 ? 1 : pid - 1, "worker",
                        "/opt/bin/worker" + std::to_string(pid % 97));
      if (pid % 25 == 0) p.listenPorts = {static_cast<uint16_t>(3000 + pid % 1000)};
      if (pid % 3 == 0) p.path = "/usr/libexec/daemon" + std::to_string(pid % 89);
      s.procs.push_back(p);
    }
  }
}

void addWindowsAndTabs(Snapshot& s, int scale) {
  const int regularApps = 120 * scale;
  for (int i = 0; i < 300 * scale; ++i) {
    const RunningApp& app = s.apps[static_cast<size_t>(1 + i % (regularApps - 1))];
    s.windows.push_back({.id = static_cast<uint32_t>(1000 + i),
                         .pid = app.pid,
                         .app = app.name,
                         .title = "Document " + std::to_string(i),
                         .axSeen = i % 10 != 0});
  }
  for (int i = 0; i < 500 * scale; ++i) {
    const int window = i / 20;
    s.tabs.push_back(
        {.browser = "com.google.Chrome",
         .windowID = window,
         .tabID = std::to_string(i),
         .index = i % 20,
         .url = "https://site" + std::to_string(i % 300) + ".test/page/" + std::to_string(i),
         .title = "Page " + std::to_string(i),
         .active = i % 20 == 0,
         .front = window == 0});
  }
}

Snapshot desktop(int scale) {
  Snapshot s;
  s.me = kMe;
  s.at = Date(800'000'000);
  s.boot = Date(700'000'000);
  s.session = 1;
  s.procs.push_back(makeProc(1, 0, "launchd", "/sbin/launchd"));
  s.procs.back().uid = 0;
  int32_t pid = 100;
  addApps(s, scale, pid);
  addTerminals(s, scale, pid);
  addChains(s, 2000 * scale, pid);
  addWindowsAndTabs(s, scale);
  s.frontPID = s.apps[1].pid;
  s.axTrusted = true;
  s.focusedWindow = s.windows[1].id;
  return s;
}

// Moves the desktop one tick on. Most processes are busy; one worker in 20 and
// every terminal program idles, one worker in 97 hogs a core.
void advance(Snapshot& s) {
  s.at = s.at + kTick;
  for (Proc& p : s.procs) {
    if (p.tty || p.pid % 20 == 0) {
      p.cpu += 0.005;
    } else if (p.pid % 97 == 0) {
      p.cpu += 55;
    } else {
      p.cpu += 2;
    }
  }
}

// A desktop after an hour of ticks. Every benchmark iteration moves it one
// tick on; every 30 ticks it goes back to the start, so that clocks do not
// age past every limit while the benchmark runs.
struct Tick {
  Snapshot snapshot;
  Activity activity;
  Config config = Config::fresh(Date(0));
  Snapshot startSnapshot;
  Activity startActivity;
  int ticks = 0;

  explicit Tick(int scale) : snapshot(desktop(scale)) {
    for (int i = 0; i < 62; ++i) {
      advance(snapshot);
      activity = std::move(activity).updated(snapshot, {}, kHorizon);
    }
    startSnapshot = snapshot;
    startActivity = activity;
  }

  void next() {
    if (++ticks % 30 == 0) {
      snapshot = startSnapshot;
      activity = startActivity;
    }
    advance(snapshot);
  }
};

// One tick: the activity update and the plan. With `copying` the caller keeps
// the old record, so its histories are copied rather than moved.
void updateAndPlan(benchmark::State& state, bool copying) {
  Tick tick(static_cast<int>(state.range(0)));
  size_t planned = 0;
  for (auto _ : state) {
    state.PauseTiming();
    tick.next();
    state.ResumeTiming();
    tick.activity = copying ? tick.activity.updated(tick.snapshot, {}, kHorizon)
                            : std::move(tick.activity).updated(tick.snapshot, {}, kHorizon);
    const auto actions = Planner::plan(tick.snapshot, tick.activity, tick.config);
    planned = actions.size();
    benchmark::DoNotOptimize(actions.data());
  }
  state.counters["actions"] = static_cast<double>(planned);
}

void BM_UpdateAndPlan(benchmark::State& state) { updateAndPlan(state, false); }
BENCHMARK(BM_UpdateAndPlan)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_UpdateCopyingAndPlan(benchmark::State& state) { updateAndPlan(state, true); }
BENCHMARK(BM_UpdateCopyingAndPlan)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_UpdateOnly(benchmark::State& state) {
  Tick tick(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    tick.next();
    state.ResumeTiming();
    tick.activity = std::move(tick.activity).updated(tick.snapshot, {}, kHorizon);
    benchmark::DoNotOptimize(tick.activity.cpu.size());
  }
}
BENCHMARK(BM_UpdateOnly)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_PlanOnly(benchmark::State& state) {
  Tick tick(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto actions = Planner::plan(tick.snapshot, tick.activity, tick.config);
    benchmark::DoNotOptimize(actions.data());
  }
}
BENCHMARK(BM_PlanOnly)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvane
