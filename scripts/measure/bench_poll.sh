#!/usr/bin/env bash
# Benchmark: the headless poller at the real 1000 ms interval against the
# simulated module for a given time (default 300 s), then its figures:
# requests sent, mean period, p99 and max |period - 1000 ms|, cumulative
# drift, CPU time and peak memory.
#   scripts/measure/bench_poll.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-300}
build_dir=${BUILD_DIR:-build}
scripts/build.sh >/dev/null

workdir=$(mktemp -d)
link="$workdir/ttyBENCH$$"
"$build_dir/tools/modsim/modsim" --framing rtu --address 67 --link "$link" --log "$workdir/modsim.log" >/dev/null &
modsim=$!
# set -e holds in the trap too: a failing kill or wait (modsim already gone,
# or killed: 143) would end it before the cleanup and set the exit status.
trap 'kill "$modsim" 2>/dev/null || true; wait "$modsim" 2>/dev/null || true; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do
    [ -e "$link" ] && break
    kill -0 "$modsim" 2>/dev/null || { echo "bench_poll: modsim ended before creating $link" >&2; exit 1; }
    sleep 0.05
done
[ -e "$link" ] || { echo "bench_poll: modsim did not create $link within 5 s" >&2; exit 1; }

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%dT%H:%MZ)"
echo "duration: ${seconds} s at 1000 ms"
report=$(COMM_PORT1="$link" "$build_dir/apps/pollcli/pollcli" --interval 1000 --duration "$seconds" --quiet)
echo "$report"
cpu=$(echo "$report" | awk '/^CPU time:/ {print $3}')
awk -v cpu="$cpu" -v s="$seconds" 'BEGIN { printf "CPU per minute:       %.4f s\n", cpu * 60 / s }'
echo "requests modsim saw:  $(grep -c ' rx ' "$workdir/modsim.log")"
