#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang and runs them, one at a
# time, each on a copy of its seed corpus so the checkout is left as it was.
#
#   scripts/fuzz.sh --ci                     every target for a bounded run;
#                                            fails on any crash, leak or UB
#   scripts/fuzz.sh --time SECONDS [target...]
#                                            the targets (all by default) for
#                                            SECONDS each, with their figures
#
# Build directory: $FUZZ_BUILD_DIR (default build-fuzz). Inputs that broke a
# target are kept under <build dir>/fuzz-findings/<target>/, the full output
# of each run under <build dir>/fuzz-logs/. Reproduce a finding with
#   <build dir>/tests/fuzz/<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."

targets_all=(fuzz_rtu_decode fuzz_ascii_decode fuzz_number_read fuzz_line_settings
             fuzz_modsim_request fuzz_receive_buffer fuzz_recording)
# --ci: each target stops at whichever comes first.
ci_runs=500000
ci_seconds=15

usage() {
    awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0" >&2
    exit 2
}

mode=""
seconds=0
targets=()
case "${1:-}" in
    --ci) mode=ci; shift; [ $# -eq 0 ] || usage ;;
    --time)
        mode=time
        [[ "${2:-}" =~ ^[0-9]+$ ]] && [ "$2" -gt 0 ] || usage
        seconds=$2
        shift 2
        targets=("$@")
        ;;
    *) usage ;;
esac
[ ${#targets[@]} -gt 0 ] || targets=("${targets_all[@]}")
for target in "${targets[@]}"; do
    [[ " ${targets_all[*]} " == *" $target "* ]] || { echo "unknown target: $target" >&2; usage; }
done

# clang with libFuzzer and the sanitizer runtimes, and what the build needs.
scripts/deps.sh clang libclang-rt-14-dev

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
if [ -f "$build_dir/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "$build_dir/CMakeCache.txt"; then
    echo "$build_dir was configured with another compiler; choose another FUZZ_BUILD_DIR" >&2
    exit 2
fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPOLL_SANITIZE=fuzzer -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" --target fuzz_targets -j "$(nproc)"
build_dir=$(cd "$build_dir" && pwd)

# Any sanitizer report ends the run, so libFuzzer keeps the input.
export ASAN_OPTIONS=detect_leaks=1:symbolize=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build_dir/fuzz-logs"

# A figure from libFuzzer's final statistics.
final_stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -n 1; }

failed=()
summary=()
started=$SECONDS
for target in "${targets[@]}"; do
    corpus="$work/$target"
    findings="$build_dir/fuzz-findings/$target"
    log="$build_dir/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$findings"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    if [ "$mode" = ci ]; then
        limits=(-runs="$ci_runs" -max_total_time="$ci_seconds")
    else
        limits=(-max_total_time="$seconds")
    fi
    echo "== $target (${limits[*]})"
    status=0
    "$build_dir/tests/fuzz/$target" "${limits[@]}" -print_final_stats=1 -timeout=10 \
        -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || status=$?

    execs=$(final_stat number_of_executed_units "$log")
    rate=$(final_stat average_exec_per_sec "$log")
    last=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$last")
    if [ "$status" -eq 0 ]; then
        found="none"
    else
        failed+=("$target")
        what=$(grep -m 1 -E 'ERROR: (Address|Leak|libFuzzer)|runtime error:|check failed:|deadly signal' "$log" || echo "exit status $status")
        artifact=$(sed -n 's/.*Test unit written to \(.*\)/\1/p' "$log" | tail -n 1)
        found="$what${artifact:+ -> $artifact}"
    fi
    line=$(printf '%-20s execs %10s  exec/s %7s  cov %5s  ft %6s  corpus %-12s findings: %s' \
        "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$found")
    echo "$line"
    summary+=("$line")
done

echo
echo "== summary ($((SECONDS - started)) s of fuzzing; logs in $build_dir/fuzz-logs)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "no crash, leak or undefined behaviour found"
