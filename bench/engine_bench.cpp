// The engine's tick on a busy desktop: 2,000 processes, 300 windows, 1,000
// tabs in 50 browser windows, 50 queued picks and a disk scan of ten rules.
// The engine runs on a real support folder; every tick's writes are counted
// by comparing the folder's files before and after it.
//
// BM_Tick times the ticks between saves (the engine writes its activity and
// screen time every 10th tick, timed apart in BM_TenthTick). Every 9 ticks a
// fresh engine starts from a folder holding an hour of activity, so that idle
// clocks do not age past every limit while the benchmark runs.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <tuple>

#include <benchmark/benchmark.h>

#include "core/engine/engine.h"
#include "core/engine/main_queue.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMe = 501;
constexpr double kTick = 60;
const Date kStart(800'000'000);

Proc process(int32_t pid, int32_t ppid, std::string name, std::string path) {
  return {.pid = pid,
          .ppid = ppid,
          .uid = kMe,
          .name = std::move(name),
          .path = std::move(path),
          .cpu = 1,
          .rss = 40'000'000,
          .started = kStart - 86400};
}

Snapshot desktop() {
  Snapshot s{.at = kStart, .me = kMe, .boot = kStart - 86400, .axTrusted = true, .session = 1};
  s.procs.push_back(process(1, 0, "launchd", "/sbin/launchd"));
  int32_t pid = 100;
  for (int i = 0; i < 100; ++i, pid += 4) {  // applications with three helpers each
    const std::string name = i == 0 ? "Chrome" : "App" + std::to_string(i);
    const std::string bundle = "/Applications/" + name + ".app";
    s.apps.push_back(
        {.pid = pid,
         .bundleID = i == 0 ? "com.google.Chrome" : "com.example.app" + std::to_string(i),
         .name = name,
         .bundlePath = bundle,
         .policy = i % 7 == 6 ? AppPolicy::accessory : AppPolicy::regular});
    s.procs.push_back(process(pid, 1, name, bundle + "/Contents/MacOS/" + name));
    for (int h = 1; h <= 3; ++h)
      s.procs.push_back(process(pid + h, pid, name + " Helper", bundle + "/Contents/Helper"));
  }
  for (int t = 0; t < 30; ++t, pid += 3) {  // terminals: a shell and two tools each
    const std::string tty = "ttys" + std::to_string(t);
    s.ttyIdle[tty] = t % 3 == 0 ? 10 : 9000;
    for (int d = 0; d < 3; ++d) {
      Proc p = process(pid + d, d == 0 ? 1 : pid + d - 1, d == 0 ? "zsh" : "tool", "/bin/zsh");
      p.tty = tty;
      s.procs.push_back(p);
    }
  }
  while (s.procs.size() < 2000) {  // background workers, a few of them servers
    Proc p = process(pid, 1, "worker", "/opt/bin/worker" + std::to_string(pid % 50));
    if (pid % 40 == 0) p.listenPorts = {static_cast<uint16_t>(3000 + pid % 2000)};
    s.procs.push_back(p);
    ++pid;
  }
  for (int i = 0; i < 300; ++i) {
    const RunningApp& app = s.apps[1 + i % 99];
    s.windows.push_back({.id = static_cast<uint32_t>(5000 + i),
                         .pid = app.pid,
                         .app = app.name,
                         .title = "Window " + std::to_string(i),
                         .axSeen = true});
  }
  for (int i = 0; i < 1000; ++i) {
    const int64_t window = i / 20;
    s.tabs.push_back(
        {.browser = "com.google.Chrome",
         .windowID = window,
         .tabID = std::to_string(i),
         .index = i % 20,
         .url = "https://site" + std::to_string(i % 200) + ".test/" + std::to_string(i),
         .title = "Page " + std::to_string(i),
         .active = i % 20 == 0,
         .front = window == 0});
  }
  s.frontPID = s.apps[1].pid;
  s.focusedWindow = s.windows[1].id;
  return s;
}

// Each tick a few processes work, most idle.
void advance(Snapshot& s) {
  s.at = s.at + kTick;
  for (Proc& p : s.procs) p.cpu += p.pid % 9 == 0 ? 3 : 0.001;
}

DiskScan scan(const std::string& home) {
  DiskScan out{.at = kStart, .home = home};
  for (DiskRule rule : DiskRules::allCases) {
    DiskRuleScan found;
    for (int i = 0; i < 40; ++i) {
      const std::string path =
          home + "/Projects/p" + std::to_string(i) + "/" + std::string(DiskRules::rawValue(rule));
      found.items.push_back({.path = path, .root = home, .bytes = 1'000'000});
    }
    found.bytes = 40'000'000;
    out.rules[rule] = found;
  }
  for (int i = 0; i < 50; ++i)
    out.suggestions.push_back({.path = home + "/big" + std::to_string(i), .bytes = 900'000'000});
  return out;
}

std::vector<Pick> queuedPicks(const Snapshot& s) {
  std::vector<Pick> picks;
  for (int i = 0; i < 20; ++i) picks.push_back(Pick::window(s.windows[10 + i * 7].id));
  for (int i = 0; i < 20; ++i) picks.push_back(Pick::tab(s.tabs[3 + i * 37]));
  for (int i = 0; i < 8; ++i) picks.push_back(Pick::process(s.procs[1500 + i * 20].pid));
  picks.push_back(Pick::diskRule(DiskRule::caches));
  picks.push_back(Pick::diskRule(DiskRule::logs));
  return picks;
}

// Every file of a folder with what a write changes.
using FileStamps = std::map<std::string, std::tuple<ino_t, off_t, int64_t>>;
FileStamps stamps(const fs::path& dir) {
  FileStamps out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) != 0) continue;
    out[entry.path().filename()] = {
        st.st_ino, st.st_size, int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec};
  }
  return out;
}

size_t changed(const FileStamps& before, const FileStamps& after) {
  size_t count = 0;
  for (const auto& [name, stamp] : after) {
    const auto it = before.find(name);
    if (it == before.end() || it->second != stamp) ++count;
  }
  return count;
}

// A support folder with an hour of activity behind it, and engines started on copies of it.
class Bench {
 public:
  Bench() {
    prepared_ = fs::temp_directory_path() / "kelvane-engine-bench";
    work_ = prepared_.string() + "-work";
    fs::remove_all(prepared_);
    Config config = Config::fresh(kStart);
    config.learningUntil = kStart - 86400;
    config.scheduleMinutes = 1440;  // the slot lies beyond the benchmark's ticks
    (void)Store(prepared_).save(config, "config.json");
    (void)Store(prepared_).save(ScheduleState{.lastWeeklyRun = kStart - 3600}, "schedule.json");
    start(prepared_);
    for (int i = 0; i < 61; ++i) {
      advance(snapshot_);
      engine_->tick(snapshot_);
    }
    engine_->save();
    first_ = snapshot_;
  }
  ~Bench() {
    engine_.reset();
    fs::remove_all(prepared_);
    fs::remove_all(work_);
  }

  // A fresh engine on a copy of the prepared folder, at the hour's last snapshot.
  void restart() {
    engine_.reset();
    fs::remove_all(work_);
    fs::copy(prepared_, work_);
    snapshot_ = first_;
    start(work_);
  }
  Engine& engine() { return *engine_; }
  Snapshot& snapshot() { return snapshot_; }
  const fs::path& folder() const { return work_; }

 private:
  void start(const fs::path& dir) {
    engine_ = Engine::create(
        main_, Store(dir), [this] { return snapshot_.at; }, nullptr, nullptr, Calendar::utc());
    engine_->updateDisk(scan("/home/bench"));
    engine_->queue(queuedPicks(snapshot_));
  }

  std::shared_ptr<ManualMainQueue> main_ = std::make_shared<ManualMainQueue>();
  std::shared_ptr<Engine> engine_;
  Snapshot snapshot_ = desktop();
  Snapshot first_;
  fs::path prepared_;
  fs::path work_;
};

// The measured tick, kept out of line so that a profiler can be pointed at it
// alone (valgrind --tool=callgrind --toggle-collect='*measuredTick*').
[[gnu::noinline]] void measuredTick(Engine& engine, Snapshot snapshot) {
  engine.tick(std::move(snapshot));
}

void BM_Tick(benchmark::State& state) {
  Bench bench;
  size_t writes = 0;
  size_t ticks = 0;
  size_t planned = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (ticks % 9 == 0) bench.restart();
    advance(bench.snapshot());
    Snapshot next = bench.snapshot();
    const FileStamps before = stamps(bench.folder());
    state.ResumeTiming();
    measuredTick(bench.engine(), std::move(next));
    state.PauseTiming();
    writes += changed(before, stamps(bench.folder()));
    planned = bench.engine().plan().size();
    ++ticks;
    state.ResumeTiming();
  }
  state.counters["filesWrittenPerTick"] =
      benchmark::Counter(static_cast<double>(writes) / static_cast<double>(ticks));
  state.counters["planned"] = static_cast<double>(planned);
}
BENCHMARK(BM_Tick)->Unit(benchmark::kMillisecond);

// The 10th tick also writes the activity record and the screen time.
void BM_TenthTick(benchmark::State& state) {
  Bench bench;
  size_t writes = 0;
  size_t ticks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench.restart();
    for (int i = 0; i < 9; ++i) {
      advance(bench.snapshot());
      bench.engine().tick(bench.snapshot());
    }
    advance(bench.snapshot());
    Snapshot next = bench.snapshot();
    const FileStamps before = stamps(bench.folder());
    state.ResumeTiming();
    bench.engine().tick(std::move(next));
    state.PauseTiming();
    writes += changed(before, stamps(bench.folder()));
    ++ticks;
    state.ResumeTiming();
  }
  state.counters["filesWrittenPerTick"] =
      benchmark::Counter(static_cast<double>(writes) / static_cast<double>(ticks));
}
BENCHMARK(BM_TenthTick)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace kelvane
