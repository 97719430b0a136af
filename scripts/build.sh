#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR). SANITIZE="address;undefined"
# builds every target with AddressSanitizer and UndefinedBehaviorSanitizer
# (any report is fatal); SANITIZE=thread with ThreadSanitizer (POLL_SANITIZE
# in CMakeLists.txt).
# Arguments go to cmake --build: `scripts/build.sh --target soak`.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
flags=()
if [ -n "${SANITIZE:-}" ]; then
    flags=(-DPOLL_SANITIZE="$SANITIZE")
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${flags[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" "$@"
