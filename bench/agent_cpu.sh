#!/usr/bin/env bash
# The agent's own cost on this machine: runs the built `kelvane agent` with a
# tick every minute for ten minutes (by default) on a support folder of its own
# whose configuration keeps it learning (so its runs act on nothing), and reads
# its processor time and resident memory from /proc/<pid>/stat and status once
# a minute. Prints the processor time of each minute (one tick, its look at the
# machine and any run), the average share of one core, and the peak resident
# memory. Goal: at most 1% of one core on average, at most 50 MB.
#
#   bench/agent_cpu.sh [BUILD_FOLDER] [MINUTES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
minutes=${2:-10}
agent=$build/cli/kelvane
if [ ! -x "$agent" ]; then
  echo "no $agent: build it first, e.g." >&2
  echo "  cmake -S $root -B $root/build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_BENCH=ON" >&2
  echo "  cmake --build $root/build-release --target kelvane" >&2
  exit 2
fi

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 0700 "$work/data" "$work/run"
learning_until=$(date -u -d '+7 days' +%Y-%m-%dT%H:%M:%SZ)
printf '{"learningUntil": "%s"}\n' "$learning_until" >"$work/data/config.json"

XDG_RUNTIME_DIR=$work/run "$agent" agent --data "$work/data" --tick 60 2>"$work/agent.log" &
pid=$!
hz=$(getconf CLK_TCK)

# Processor time of the agent in clock ticks: utime + stime (fields 14 and 15
# of stat, counted after the command name, which may hold spaces).
cpu() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}'; }
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$pid/status"; }
hwm() { awk '/^VmHWM:/ {print $2}' "/proc/$pid/status"; }

sleep 1
start=$(cpu)
began=$(date +%s.%N)
previous=$start
echo "minute  cpu ms  rss MB"
for ((m = 1; m <= minutes; m++)); do
  sleep 60
  now=$(cpu)
  printf '%6d  %6d  %6.1f\n' "$m" $(((now - previous) * 1000 / hz)) "$(echo "$(rss) / 1024" | bc -l)"
  previous=$now
done
ended=$(date +%s.%N)
total=$(((previous - start) * 1000 / hz))
elapsed=$(echo "$ended - $began" | bc -l)
printf 'agent processor time %d ms over %.0f s: %.3f%% of one core on average\n' \
  "$total" "$elapsed" "$(echo "$total / 10 / $elapsed" | bc -l)"
printf 'resident memory %.1f MB now, %.1f MB at its peak\n' \
  "$(echo "$(rss) / 1024" | bc -l)" "$(echo "$(hwm) / 1024" | bc -l)"
