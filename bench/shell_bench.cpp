// Shell::run of /bin/true against the bare cost of launching it: posix_spawn + waitpid.
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include "core/shell/shell.h"

extern char** environ;

namespace {

void BM_BareSpawnAndWait(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BareSpawnAndWait)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ShellRun(benchmark::State& state) {
  const std::vector<std::string> args = {"/bin/true"};
  for (auto _ : state) {
    auto result = kelvane::Shell::run(args, std::nullopt, 10);
    if (!result || result->status != 0) {
      state.SkipWithError("Shell::run failed");
      break;
    }
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ShellRun)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
