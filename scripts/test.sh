#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test
# under AddressSanitizer and UndefinedBehaviorSanitizer (an optimised build, so
# the optimiser's warnings are checked too), then the thread tests under
# ThreadSanitizer. One full build keeps CI on two cores well under half an hour.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build-asan" -DKELVANE_SANITIZE=address,undefined
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

# The disk cleanup's run control is shared between the user's thread and the
# cleanup worker: its tests run once more under ThreadSanitizer. Only the one
# test target that holds them is built, to keep the run short.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKELVANE_SANITIZE=thread >/dev/null
cmake --build "$root/build-tsan" --target kelvane_disk_tests
"$root/build-tsan/core/disk/kelvane_disk_tests" --gtest_filter='DiskRunControl.*:DiskRun.*'
