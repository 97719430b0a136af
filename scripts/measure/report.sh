#!/usr/bin/env bash
# Every measurement in this folder, one after another, each cut to about
# SECONDS (default 60) where it runs for a time, and their figures under one
# heading each: headless poll timing, CPU beside mbpoll, reading a recording
# back, the trend (polltrend, autopoll with and without it, the redraw), a
# stalled display, the three programs side by side, late requests, a soak and the fault
# drill, and publishing to a broker (about 7 minutes whatever SECONDS). About
# ten times SECONDS in all and 7 minutes, plus the build.
#   scripts/measure/report.sh [SECONDS]
# The full-length runs whose figures docs/performance.md and
# docs/robustness.md quote are each script's own defaults.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
[[ "$seconds" =~ ^[0-9]+$ ]] && [ "$seconds" -ge 20 ] \
    || { echo "report: SECONDS must be a whole number, at least 20 (bench_cpu needs 15 s and more)" >&2; exit 2; }
scripts/build.sh >/dev/null

failed=()
step() {
    local name=$1
    shift
    echo
    echo "## $name"
    echo "\$ $*"
    local started=$SECONDS
    "$@" || failed+=("$name (exit status $?)")
    echo "($((SECONDS - started)) s)"
}

echo "# Measurements, $(date -u +%Y-%m-%dT%H:%MZ)"
echo "machine: $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
step "headless poll timing" scripts/measure/bench_poll.sh "$seconds"
step "headless CPU beside mbpoll" scripts/measure/bench_cpu.sh "$seconds"
step "reading a recording back" scripts/measure/bench_recording.sh --passes 2
# bench_polltrend.sh ends with bench_trend.sh's redraw times.
step "the trend" scripts/measure/bench_polltrend.sh "$seconds"
step "a stalled display" scripts/measure/display_stall.sh 6
step "the three programs side by side" scripts/measure/perf_report.py --duration "$seconds" --startups 3
step "late requests" scripts/measure/late_requests.py --duration "$seconds"
# 10 ms a poll: the soak runs for about SECONDS.
step "soak" scripts/measure/soak.sh $((seconds * 100)) 10
step "fault drill" scripts/measure/fault_drill.py --replugs 5
step "publishing to a broker" scripts/measure/bench_publish.py --quick

echo
if [ ${#failed[@]} -gt 0 ]; then
    printf 'FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "all measurements ran"
