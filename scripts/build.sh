#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR). SANITIZE=1 builds with
# AddressSanitizer and UndefinedBehaviorSanitizer (any report is fatal).
# Arguments go to cmake --build: `scripts/build.sh --target soak`.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
flags=()
if [ "${SANITIZE:-0}" = 1 ]; then
    flags=(-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
           -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined")
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${flags[@]}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" "$@"
