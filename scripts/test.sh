#!/usr/bin/env bash
# Installs what is missing, checks the sources' layout, builds, and runs every test: once as built for
# use, once under AddressSanitizer and UndefinedBehaviorSanitizer with leak
# detection; the thread tests also under ThreadSanitizer. Also checks that
# the programs' code stays portable, that the Debian package installs and runs, that the Windows build builds, passes its
# tests under Wine and makes its zip (where ../shared/toolchains has a Qt for
# Windows), and runs each fuzz target briefly. Needs no display and no serial
# hardware: the tests play the module on pseudo-terminals.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export QT_QPA_PLATFORM=offscreen

scripts/check_portable.sh
scripts/check_format.sh
scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"

echo "== the Debian package, installed into a scratch root and run"
scripts/package_test.sh

echo "== Windows: cross-built, tested under Wine, and packed (skipped without ../shared/toolchains)"
scripts/windows.sh

echo "== each fuzz target for a bounded run (a crash, leak or UB report fails)"
scripts/fuzz.sh --ci

echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer"
BUILD_DIR=build-asan BUILD_TYPE=Debug SANITIZE="address;undefined" scripts/build.sh
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== the programs' thread tests under ThreadSanitizer"
scripts/tsan.sh
