#!/usr/bin/env bash
# What a stalled display does to the requests on the line: autopoll runs on
# Xvfb against the simulated module; the X server is stopped (SIGSTOP) for a
# while and continued. Prints the periods between the requests the module
# read around the stall, and the window's poll count before and after.
#   scripts/measure/display_stall.sh [STALL_SECONDS]   (default 6)
set -euo pipefail
cd "$(dirname "$0")/../.."
stall=${1:-6}
command -v Xvfb >/dev/null || scripts/deps.sh xvfb
build_dir=${BUILD_DIR:-build}
scripts/build.sh >/dev/null
work=$(mktemp -d)
display=:$((90 + RANDOM % 100))
cleanup() { kill "${app:-}" "${modsim:-}" "${xvfb:-}" 2>/dev/null || true; kill -CONT "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
"$build_dir/tools/modsim/modsim" --address 68 --link "$work/tty" --log "$work/log" >/dev/null &
modsim=$!
for _ in $(seq 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
[ -e "$work/tty" ] || { echo "display_stall: modsim's link did not appear" >&2; exit 1; }
DISPLAY=$display COMM_PORT1="$work/tty" "$build_dir/apps/autopoll" 2>/dev/null &
app=$!
sleep 4
kill -STOP "$xvfb"
stopped=$(awk '{print $1}' /proc/uptime)
sleep "$stall"
kill -CONT "$xvfb"
continued=$(awk '{print $1}' /proc/uptime)
sleep 4
kill "$app"; wait "$app" 2>/dev/null || true
kill "$modsim"; wait "$modsim" 2>/dev/null || true

echo "X server stopped for ${stall} s (uptime $stopped to $continued)"
awk '$2 == "rx" { if (last) { p = $1 - last; printf "request at %.3f  period %.3f s\n", $1, p;
                               if (p > max) max = p; if (!min || p < min) min = p; n++ }
                  last = $1 }
     END { printf "%d periods, shortest %.3f s, longest %.3f s\n", n, min, max }' "$work/log"
