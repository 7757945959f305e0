#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the thread tests
# under ThreadSanitizer. One full build at -O1 with line tables only (half the
# compile time of -O2 -g, still optimised enough for the optimiser's warnings
# and for the sanitizers) keeps CI on two cores well under half an hour.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/setup.sh"

# Tests that let the agent's sweeps act run it as a user of their own, which can
# reach only the processes those tests start as that user (never this machine's).
if [ "$(id -u)" -eq 0 ] && ! id -u kelvane-test >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kelvane-test
fi

flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
"$root/scripts/build.sh" "$root/build-asan" -DKELVANE_SANITIZE=address,undefined "${flags[@]}"
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

# The disk cleanup's run control is shared between the user's thread and the
# cleanup worker: its tests run once more under ThreadSanitizer. Only the test
# targets that hold them are built, to keep the run short.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKELVANE_SANITIZE=thread "${flags[@]}" >/dev/null
cmake --build "$root/build-tsan" --target kelvane_disk_tests kelvane_engine_tests
"$root/build-tsan/core/disk/kelvane_disk_tests" --gtest_filter='DiskRunControl.*:DiskRun.*'
# So do the engine's runs: the executor's threads, the run task that posts its
# results to the main queue, and the random walk through ticks and runs.
"$root/build-tsan/core/engine/kelvane_engine_tests" \
  --gtest_filter='Executor.*:MainQueue.*:ManualMainQueue.*:EngineRunTask.*:EngineSimulation.*:EngineDisk.*'
