#!/usr/bin/env bash
# The C++ sources as .clang-format lays them out: Debian's clang-format in
# dry-run mode, failing on the first file that would change.
#   scripts/check_format.sh            check
#   scripts/check_format.sh --fix      rewrite the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check_format: clang-format is missing (scripts/deps.sh)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run --Werror "${files[@]}"
fi
