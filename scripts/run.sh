#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated module on a
# pseudo-terminal and polls it on port 1, printing each poll. Ctrl-C stops both.
# Arguments go to modsim (e.g. --corrupt-every 3, --values 1,2,3,4,5,6,7,8).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
build_dir=${BUILD_DIR:-build}

workdir=$(mktemp -d)
link="$workdir/ttyMODSIM"
"$build_dir/tools/modsim/modsim" --framing rtu --address 67 --link "$link" "$@" &
modsim=$!
trap 'kill $modsim 2>/dev/null; wait $modsim 2>/dev/null; rm -rf "$workdir"' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

COMM_PORT1="$link" "$build_dir/tools/pollcli/pollcli" --address 67
