// DiskScanner::scan of a synthetic home of about 300,000 small files (stale projects
// with deep node_modules, application caches, logs, a package cache) against `du -s`
// of the same warm tree, in one run. See Tree for where the tree is made.
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/disk/disk_scanner.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using kelvane::Date;

constexpr int kProjects = 60;
constexpr int kPackagesPerProject = 90;  // each package: 5 folders of 10 files
constexpr double kOld = 90 * 86400.0;

void write(const fs::path& path, size_t bytes) {
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

void age(const fs::path& path, double unixSeconds) {
  const timespec t{static_cast<time_t>(unixSeconds), 0};
  const timespec times[2] = {t, t};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Files in `dir`, named f0..f{count-1}, of a few hundred bytes each.
void files(const fs::path& dir, int count) {
  fs::create_directories(dir);
  for (int i = 0; i < count; ++i) write(dir / ("f" + std::to_string(i) + ".js"), 200 + i * 37);
}

void makeProject(const fs::path& project, double old) {
  fs::create_directories(project / "src");
  write(project / "package.json", 300);
  for (int i = 0; i < 20; ++i) write(project / "src" / ("m" + std::to_string(i) + ".ts"), 900);
  for (int p = 0; p < kPackagesPerProject; ++p) {
    const fs::path pkg = project / "node_modules" / ("pkg" + std::to_string(p));
    for (const char* sub : {"", "lib", "lib/util", "lib/util/deep", "dist"}) files(pkg / sub, 10);
  }
  for (const auto& entry : fs::recursive_directory_iterator(project)) age(entry.path(), old);
  age(project, old);
}

// The synthetic home, made on first use in a fresh temporary folder and removed at exit;
// or, when KELVANE_BENCH_TREE names a folder, made there once and kept for later runs.
class Tree {
 public:
  Tree() : now_(Date::now()) {
    if (const char* kept = std::getenv("KELVANE_BENCH_TREE")) {
      home_ = kept;
      keep_ = true;
      if (fs::exists(home_ / ".complete")) return;
    } else {
      std::string pattern = (fs::temp_directory_path() / "kelvane-scan-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) return;
      home_ = pattern;
    }
    make(std::floor((now_ - kOld).unix()));
    if (keep_) write(home_ / ".complete", 0);
  }
  ~Tree() {
    std::error_code error;
    if (!keep_ && !home_.empty()) fs::remove_all(home_, error);
  }
  const fs::path& home() const { return home_; }
  Date now() const { return now_; }

 private:
  void make(double old) const {
    for (int i = 0; i < kProjects; ++i)
      makeProject(home_ / "Projects" / ("p" + std::to_string(i)), old);
    for (int i = 0; i < 40; ++i)
      files(home_ / "Library/Caches" / ("app" + std::to_string(i)) / "data", 500);
    for (int i = 0; i < 10; ++i) files(home_ / "Library/Logs" / ("tool" + std::to_string(i)), 300);
    for (int i = 0; i < 10; ++i) files(home_ / ".npm/_cacache/content" / std::to_string(i), 300);
    for (const auto& entry : fs::recursive_directory_iterator(home_ / "Library"))
      age(entry.path(), old);
  }

  fs::path home_;
  Date now_;
  bool keep_ = false;
};

const Tree& tree() {
  static const Tree instance;
  return instance;
}

kelvane::DiskEnvironment environment() {
  const std::string home = tree().home().string();
  kelvane::DiskEnvironment env{
      .home = home, .now = tree().now(), .projectRoots = {home + "/Projects"}};
  env.tool = [](const std::string& name) -> std::optional<std::string> {
    if (name == "npm") return "/usr/bin/true";  // so that the npm cache is measured
    return std::nullopt;
  };
  env.added = kelvane::DiskScanner::addedDate;
  return env;
}

void BM_DiskScannerScan(benchmark::State& state) {
  const auto env = environment();
  int64_t items = 0;
  for (auto _ : state) {
    const auto scan = kelvane::DiskScanner::scan(env);
    items = 0;
    for (const auto& [rule, found] : scan.rules) items += static_cast<int64_t>(found.items.size());
    benchmark::DoNotOptimize(scan);
  }
  state.counters["items"] = static_cast<double>(items);
}

void BM_DuSummary(benchmark::State& state) {
  const std::string home = tree().home().string();
  char* argv[] = {const_cast<char*>("du"), const_cast<char*>("-s"), const_cast<char*>(home.c_str()),
                  nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // du's own processor time, to set beside the scan's CPU column: on a shared machine the
  // wall-clock times of both mostly measure the other programs.
  const auto childSeconds = [] {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double cpuBefore = childSeconds();
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, "du", &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("du cannot be started");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (state.iterations() > 0)
    state.counters["du_cpu_ms"] =
        (childSeconds() - cpuBefore) * 1000 / static_cast<double>(state.iterations());
}

// The tree is made on the first run, so both walk it warm.
BENCHMARK(BM_DuSummary)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_DiskScannerScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
