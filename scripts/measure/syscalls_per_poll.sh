#!/usr/bin/env bash
# The system calls a poll costs pollcli's acquisition thread (where the comm
# control and the poller run), beside mbpoll's, each polling its own
# simulated module every 200 ms: strace follows the one thread for POLLS
# polls in steady state and the calls are told by name, per poll.
#   scripts/measure/syscalls_per_poll.sh [POLLS]
# POLLCLI=path counts another pollcli build (default: the build folder's).
set -euo pipefail
cd "$(dirname "$0")/../.."
polls=${1:-10}
build_dir=${BUILD_DIR:-build}
if [ -z "${POLLCLI:-}" ]; then
    scripts/build.sh >/dev/null
    POLLCLI="$build_dir/apps/pollcli/pollcli"
fi
command -v strace >/dev/null || scripts/deps.sh strace
command -v mbpoll >/dev/null || scripts/deps.sh mbpoll

workdir=$(mktemp -d)
children=()
cleanup()
{
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$workdir"
}
trap cleanup EXIT

for name in pollcli mbpoll; do
    "$build_dir/tools/modsim/modsim" --framing rtu --address 67 --link "$workdir/tty$name" \
        --log "$workdir/$name.log" >/dev/null &
    children+=($!)
    for _ in $(seq 200); do [ -e "$workdir/tty$name" ] && break; sleep 0.05; done
    [ -e "$workdir/tty$name" ] || { echo "syscalls_per_poll: no $workdir/tty$name" >&2; exit 1; }
done
COMM_PORT1="$workdir/ttypollcli" "$POLLCLI" --quiet --interval 200 >/dev/null 2>&1 &
pollcli=$!
children+=("$pollcli")
mbpoll -m rtu -a 67 -b 9600 -P none -t 3 -r 1 -c 8 -l 200 "$workdir/ttymbpoll" >/dev/null 2>&1 &
mbpoll=$!
children+=("$mbpoll")
sleep 2 # past the opening of the port

acquisition=
for task in "/proc/$pollcli"/task/*; do
    [ "$(cat "$task/comm")" = acquisition ] && acquisition=${task##*/}
done
[ -n "$acquisition" ] || { echo "syscalls_per_poll: pollcli has no acquisition thread" >&2; exit 1; }

# Both traced at once, for whole polls: from the one write of a request to
# the next, POLLS times.
seconds=$(awk -v n="$polls" 'BEGIN { printf "%.1f", n * 0.2 + 0.3 }')
timeout "$seconds" strace -qq -p "$acquisition" -o "$workdir/pollcli.trace" 2>/dev/null &
tracers=($!)
timeout "$seconds" strace -qq -p "$mbpoll" -o "$workdir/mbpoll.trace" 2>/dev/null &
tracers+=($!)
for tracer in "${tracers[@]}"; do wait "$tracer" || true; done # timeout ends each: status 124

echo "system calls a poll, $polls polls at 200 ms, $(date -u +%Y-%m-%dT%H:%MZ)"
for name in pollcli mbpoll; do
    # The request is the one 8-byte write that starts "C\4" (module 67, function 4).
    awk -v name="$name" -v polls="$polls" '
        /^write\([0-9]+, "C\\4/ { requests++ }
        requests >= 1 && requests <= polls { sub(/\(.*/, ""); calls[$0]++; total++ }
        END {
            if (requests <= polls) { printf "%s: only %d requests traced\n", name, requests; exit 1 }
            printf "%-8s %5.1f a poll:", name, total / polls
            for (call in calls) printf " %s %.1f", call, calls[call] / polls
            printf "\n"
        }' "$workdir/$name.trace"
done
