#!/usr/bin/env bash
# Soak run: builds, then polls the simulated module with random faults
# through the real comm control and poller, POLLS times (default 100000)
# every INTERVAL_MS (default 5), and prints the summary of its checks: poll,
# reply and error counts against modsim's log and the tick times, and peak
# memory. About 9 minutes with the defaults. Builds only the soak tool and
# modsim. Further arguments go to the soak tool (--seed S, --keep-log FILE,
# --help, ...).
#   scripts/measure/soak.sh [POLLS] [INTERVAL_MS] [soak options]
set -euo pipefail
cd "$(dirname "$0")/../.."
polls=${1:-100000}
interval=${2:-5}
shift $(($# < 2 ? $# : 2))
build_dir=${BUILD_DIR:-build}
scripts/build.sh --target soak >/dev/null
soak="$build_dir/tests/soak/soak"
if [ ! -x "$soak" ]; then
    echo "soak.sh: $soak was not built (tests/soak is added by tests/CMakeLists.txt)" >&2
    exit 1
fi
exec "$soak" --polls "$polls" --interval "$interval" "$@"
