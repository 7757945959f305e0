// One LinuxSampler::sample() of this machine with 2,000 extra sleeping processes,
// started by the benchmark and ended by it.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/linux/sampler.h"

extern char** environ;

namespace {

constexpr int kSleepers = 2000;

class Sleepers {
 public:
  explicit Sleepers(int count) {
    char* argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("600"), nullptr};
    for (int i = 0; i < count; ++i) {
      pid_t pid = 0;
      if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) break;
      pids_.push_back(pid);
    }
  }
  ~Sleepers() {
    for (const pid_t pid : pids_) kill(pid, SIGKILL);
    for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }
  size_t size() const { return pids_.size(); }

 private:
  std::vector<pid_t> pids_;
};

void BM_Sample(benchmark::State& state) {
  const Sleepers sleepers(static_cast<int>(state.range(0)));
  if (sleepers.size() != static_cast<size_t>(state.range(0))) {
    state.SkipWithError("could not start the sleepers");
    return;
  }
  kelvane::LinuxSampler sampler(kelvane::LinuxSamplerSetup::forThisMachine());
  size_t procs = 0;
  for (auto _ : state) {
    const auto snapshot = sampler.sample();
    procs = snapshot.procs.size();
    benchmark::DoNotOptimize(snapshot);
  }
  state.counters["procs"] = static_cast<double>(procs);
}
BENCHMARK(BM_Sample)->Arg(0)->Arg(kSleepers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
