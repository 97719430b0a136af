#!/usr/bin/env bash
# Benchmark: CPU time of the headless poller next to mbpoll, run at the same
# time, each polling its own simulated module once a second (RTU, address 67,
# 8 input registers, 9600 8N1), for a given time (default 600 s).
#   scripts/measure/bench_cpu.sh [SECONDS]
# POLLCLI=path measures another pollcli build (default: the one in the build
# folder, built first); POLLCLI_ARGS are its options (default --quiet).
# BASELINE=path runs a second pollcli build alongside, under the same load,
# for a before/after comparison; BASELINE="before=path other=path" runs
# several, each named by its label (no blanks in labels or paths). Each
# build's place in the order of start still moves its figure by about a
# tenth: compare builds over runs that start them in each order.
#
# Each process's CPU time is read from /proc/PID/stat (utime + stime, clock
# ticks) at the end, and from /proc/PID/task/*/schedstat (ns on the CPU,
# summed over the process's threads) once a second; pollcli's acquisition
# thread, where the comm control and the poller run, is also given alone. "start-up" is the CPU used in the first 5 s; "per hour" scales the
# CPU used after that to an hour; "per poll" divides it by the requests the
# module logged meanwhile (mean), or takes the median of the one-second steps
# (each holds one poll), which other load on a shared machine moves less.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
settle=5
build_dir=${BUILD_DIR:-build}
if [ -z "${POLLCLI:-}" ]; then
    scripts/build.sh >/dev/null
    POLLCLI="$build_dir/apps/pollcli/pollcli"
fi
read -r -a pollcli_args <<<"${POLLCLI_ARGS:---quiet}"
command -v mbpoll >/dev/null || scripts/deps.sh mbpoll
[ "$seconds" -gt $((settle + 10)) ] || { echo "bench_cpu: run for more than $((settle + 10)) s" >&2; exit 2; }

workdir=$(mktemp -d)
children=()
cleanup()
{
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$workdir"
}
trap cleanup EXIT

# module NAME: a modsim on $workdir/ttyNAME, logging to $workdir/NAME.log.
module()
{
    local link="$workdir/tty$1"
    "$build_dir/tools/modsim/modsim" --framing rtu --address 67 --values 1,2,3,4,5,6,7,8 \
        --link "$link" --log "$workdir/$1.log" >/dev/null &
    children+=($!)
    for _ in $(seq 200); do [ -e "$link" ] && return; sleep 0.05; done
    echo "bench_cpu: modsim did not create $link within 10 s" >&2
    exit 1
}

declare -A binary=([pollcli]="$POLLCLI")
names=(pollcli)
read -r -a baselines <<<"${BASELINE:-}"
for entry in "${baselines[@]}"; do
    label=baseline path=$entry
    [[ $entry == *=* ]] && label=${entry%%=*} path=${entry#*=}
    [ -z "${binary[$label]:-}" ] && [ "$label" != mbpoll ] ||
        { echo "bench_cpu: the name $label is taken twice" >&2; exit 2; }
    [ -x "$path" ] || { echo "bench_cpu: $path is not a program" >&2; exit 2; }
    binary[$label]=$path
    names+=("$label")
done
names+=(mbpoll)
for name in "${names[@]}"; do module "$name"; done

# Each program starts its share of a second after the one before, so that
# their polls fall at different times of the second. Started at once, their
# polls woke together, and the figures said more about the order of start
# than about the builds: in runs of 2026-12-10 the build started first
# needed about 1.3 times the CPU a poll of the same build started second,
# and every build less than with the polls apart.
declare -A pid
stagger=$(awk -v n="${#names[@]}" 'BEGIN { printf "%.3f", 1 / n }')
for name in "${names[@]}"; do
    if [ "$name" = mbpoll ]; then
        mbpoll -m rtu -a 67 -b 9600 -P none -t 3 -r 1 -c 8 -l 1000 "$workdir/ttymbpoll" >/dev/null 2>&1 &
    else
        COMM_PORT1="$workdir/tty$name" "${binary[$name]}" "${pollcli_args[@]}" >/dev/null 2>"$workdir/$name.err" &
    fi
    pid[$name]=$!
    sleep "$stagger"
done
for name in "${names[@]}"; do children+=("${pid[$name]}"); done

# One line a second per process: "<second> <name> <ns on the CPU> <requests
# logged> <ns of its acquisition thread>". The sampler starts no process
# while the programs run (no sleep, cat or grep a second: each would stir
# the caches the polls find), so it waits on a pipe that never speaks and
# reads /proc with bash alone; the module's log is counted at the start of
# the steady state and at the end. The highest 1-minute load average seen
# tells a run that shared the cores with a build from one that had them to
# itself.
exec {never}<> <(:)
declare -A requests
start_us=${EPOCHREALTIME/./}
max_load=0.00
for ((second = 1; second <= seconds; second++)); do
    wait_us=$((start_us + second * 1000000 - ${EPOCHREALTIME/./}))
    if ((wait_us > 0)); then
        printf -v pause '%d.%06d' $((wait_us / 1000000)) $((wait_us % 1000000))
        read -r -t "$pause" -u "$never" _ || true
    fi
    read -r load _ </proc/loadavg
    ((10#${load/./} > 10#${max_load/./})) && max_load=$load
    for name in "${names[@]}"; do
        [ -d "/proc/${pid[$name]}/task" ] || { echo "bench_cpu: $name ended early" >&2; exit 1; }
        if ((second == settle || second == seconds)); then
            requests[$name]=$(grep -c ' rx ' "$workdir/$name.log" || true)
        fi
        ns=0 acquisition=0
        for task in "/proc/${pid[$name]}"/task/*; do
            read -r task_ns _ <"$task/schedstat" 2>/dev/null || continue # a thread that just ended
            ns=$((ns + task_ns))
            read -r comm <"$task/comm" 2>/dev/null || comm=
            [ "$comm" = acquisition ] && acquisition=$task_ns
        done
        echo "$second $name $ns ${requests[$name]:-0} $acquisition" >>"$workdir/samples"
    done
done
tck=$(getconf CLK_TCK)
for name in "${names[@]}"; do
    ticks=$(sed 's/.*) //' "/proc/${pid[$name]}/stat" | awk '{print $12 + $13}') # the name may hold blanks
    echo "$name $ticks" >>"$workdir/ticks"
done

echo "machine: $(nproc) cores, $(uname -r), $(date -u +%Y-%m-%dT%H:%MZ), load average at the end: $(cut -d' ' -f1-3 /proc/loadavg), highest 1-minute load during the run: $max_load"
echo "duration: $seconds s side by side; steady state from ${settle} s on"
for name in "${names[@]}"; do
    [ "$name" = mbpoll ] || echo "$name: ${binary[$name]} ${pollcli_args[*]}"
done
awk -v settle="$settle" -v tck="$tck" -v order="${names[*]}" '
    FILENAME ~ /ticks$/ { ticks[$1] = $2; next }
    {
        name = $2
        if ($1 == settle) { ns0[name] = $3; req0[name] = $4; acq0[name] = $5 }
        if ($1 > settle) {
            steps[name, ++count[name]] = $3 - last[name]
            steps[name "/acq", count[name]] = $5 - lastacq[name]
        }
        last[name] = $3; req[name] = $4; lastacq[name] = $5; lastsecond = $1
    }
    function median(name, key,    n, i, j, v, a) {
        n = count[name]
        for (i = 1; i <= n; i++) a[i] = steps[key, i]
        for (i = 2; i <= n; i++) { v = a[i]; for (j = i - 1; j >= 1 && a[j] > v; j--) a[j + 1] = a[j]; a[j + 1] = v }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    END {
        printf "%-12s %8s %12s %11s %14s %12s %15s %17s\n", "program", "requests", "CPU s (stat)",
            "start-up s", "CPU per hour s", "per poll us", "per poll median", "per poll / mbpoll"
        n = split(order, names, " ")
        for (i = 1; i <= n; i++) {
            name = names[i]
            steady = (last[name] - ns0[name]) / 1e9
            mean[name] = steady * 1e6 / (req[name] - req0[name])
            med[name] = median(name, name) / 1e3
        }
        for (i = 1; i <= n; i++) {
            name = names[i]
            steady = (last[name] - ns0[name]) / 1e9
            printf "%-12s %8d %12.2f %11.3f %14.3f %12.1f %15.1f %8.2f / %.2f\n", name, req[name],
                ticks[name] / tck, ns0[name] / 1e9, steady * 3600 / (lastsecond - settle), mean[name],
                med[name], mean[name] / mean["mbpoll"], med[name] / med["mbpoll"]
        }
        print "(per poll / mbpoll: mean / median)"
        for (i = 1; i <= n; i++) {
            name = names[i]
            if (lastacq[name] == 0) continue
            acqmean = (lastacq[name] - acq0[name]) / 1e3 / (req[name] - req0[name])
            acqmed = median(name, name "/acq") / 1e3
            printf "%s acquisition thread alone (comm control and poller): per poll %.1f us, median %.1f us; / mbpoll %.2f / %.2f\n",
                name, acqmean, acqmed, acqmean / mean["mbpoll"], acqmed / med["mbpoll"]
        }
    }' "$workdir/ticks" "$workdir/samples"
