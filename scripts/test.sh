#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test:
# first the plain build, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
"$root/scripts/setup.sh"

"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

"$root/scripts/build.sh" "$root/build-asan" -DKELVANE_SANITIZE=address,undefined
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
