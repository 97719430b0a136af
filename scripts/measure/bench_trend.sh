#!/usr/bin/env bash
# Benchmark: the trend view's redraw of a 10-minute view (600 readings, a
# live window's span), of a 24-hour view (86,400 readings), of
# a 7-day view (604,800, less the unplugged minutes the made-up week has), of
# a reading stamped 1970 before a day (a view of 54 years) and of 50 years of
# hourly readings, into a 1200x600 image, median of RUNS draws each (default
# 21), wall and CPU time; and the heap a sample takes.
#   scripts/measure/bench_trend.sh [RUNS] [PNG_FOLDER]
# PNG_FOLDER, if given, gets the four pictures drawn, to look at.
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
runs=${1:-21}
scripts/build.sh --target trendbench >/dev/null
if [ -n "${2:-}" ]; then
    mkdir -p "$2"
fi
QT_QPA_PLATFORM=offscreen "$build_dir/tools/trendbench/trendbench" "$runs" ${2:+"$2"}
