#!/usr/bin/env bash
# Builds the programs and their end-to-end tests with ThreadSanitizer and runs
# them: the acquisition thread against the window's. Qt itself is not built
# for ThreadSanitizer; tests/support/tsan.supp says what is suppressed and why.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-tsan}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOLL_SANITIZE=thread >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target programs_test modsim
# die_after_fork=0: the tests start the simulated module with QProcess.
QT_QPA_PLATFORM=offscreen \
TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$PWD/tests/support/tsan.supp" \
    "$build_dir/tests/programs_test"
