#!/usr/bin/env bash
# The main job: installs what is missing, builds the kelvane tool (and only what
# it needs: no tests), and runs `kelvane status`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" --target kelvane
exec "$root/build/cli/kelvane" status "$@"
