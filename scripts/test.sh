#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Needs no display and
# no serial hardware: the tests play the module on pseudo-terminals.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
