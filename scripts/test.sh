#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test:
# first the plain build, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the thread tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

"$root/scripts/build.sh" "$root/build-asan" -DKELVANE_SANITIZE=address,undefined
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

# The disk cleanup's run control is shared between the user's thread and the
# cleanup worker: its tests run once more under ThreadSanitizer. Only the one
# test target that holds them is built, to keep the run short.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DKELVANE_SANITIZE=thread >/dev/null
cmake --build "$root/build-tsan" --target kelvane_disk_tests
"$root/build-tsan/core/disk/kelvane_disk_tests" --gtest_filter='DiskRunControl.*:DiskRun.*'
