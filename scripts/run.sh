#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated module on a
# pseudo-terminal and opens a program against it on serial port 1. Closing
# the window (or Ctrl-C) stops both.
#   scripts/run.sh [bytepoll|autopoll|textpoll|pollcli|polltrend] [--trend] [modsim options...]
# bytepoll is the default; pollcli polls without a window and prints each
# poll. --trend opens the program's trend window beside it (Ctrl+T or a right
# click on the window does so later). polltrend runs autopoll recording to a
# file, and polltrend following that file. modsim options add faults, e.g.
# --corrupt-every 3 or --silent.
set -euo pipefail
cd "$(dirname "$0")/.."

program=bytepoll
case "${1:-}" in
    bytepoll|autopoll|textpoll|pollcli|polltrend) program=$1; shift ;;
esac
program_options=()
modsim_options=()
for argument in "$@"; do
    if [ "$argument" = --trend ]; then program_options+=(--trend); else modsim_options+=("$argument"); fi
done
address=67
[[ $program == autopoll || $program == polltrend ]] && address=68 # autopoll polls the module at 68
framing=rtu
[ "$program" = textpoll ] && framing=ascii

scripts/deps.sh
scripts/build.sh
build_dir=${BUILD_DIR:-build}

if [ "$program" != pollcli ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display to open the $program window on; polling without a window instead" >&2
    program=pollcli
fi

workdir=$(mktemp -d)
link="$workdir/ttyMODSIM$$"
"$build_dir/tools/modsim/modsim" --framing "$framing" --address "$address" --link "$link" "${modsim_options[@]}" &
modsim=$!
trap 'kill $modsim 2>/dev/null; wait $modsim 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "run.sh: modsim did not start" >&2; exit 1; }

case "$program" in
    pollcli) COMM_PORT1="$link" "$build_dir/apps/pollcli/pollcli" --address "$address" --framing "$framing" ;;
    polltrend)
        # Two windows on one recording: autopoll writing it, polltrend following it.
        COMM_PORT1="$link" "$build_dir/apps/autopoll" --record "$workdir/values.csv" &
        autopoll=$!
        trap 'kill $autopoll $modsim 2>/dev/null; wait $modsim 2>/dev/null; rm -rf "$workdir"' EXIT
        for _ in $(seq 100); do [ -s "$workdir/values.csv" ] && break; sleep 0.05; done
        "$build_dir/apps/polltrend" "$workdir/values.csv" ;;
    *) COMM_PORT1="$link" "$build_dir/apps/$program" "${program_options[@]}" ;;
esac
