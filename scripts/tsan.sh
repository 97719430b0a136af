#!/usr/bin/env bash
# Builds the programs and their end-to-end tests with ThreadSanitizer and runs
# them: the acquisition thread against the window's. Qt itself is not built
# for ThreadSanitizer; tests/support/tsan.supp names the Qt frames whose
# reports are Qt's own synchronisation, and why. A deliberate race
# (tests/tsan) then runs under the same options and must be reported: no
# suppression may blind the tests to our code.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-tsan}
suppressions=$PWD/tests/support/tsan.supp

# A line naming a library (called_from_lib:, or a module such as
# libQt6Core.so.6) would skip every report through it, ours included.
if grep -nE '^[[:space:]]*(called_from_lib:|[a-z_]+:[*]*lib|[a-z_]+:.*[.]so)' "$suppressions"; then
    echo "tsan: tests/support/tsan.supp may name functions only, never a library" >&2
    exit 1
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOLL_SANITIZE=thread >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target programs_test modsim tsan_racy_check

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# Every report goes to a log (halt_on_error=0, exitcode=0) and is judged
# below; die_after_fork=0: the tests start the simulated module with QProcess.
run() {
    local name=$1
    shift
    QT_QPA_PLATFORM=offscreen \
    TSAN_OPTIONS="halt_on_error=0 exitcode=0 die_after_fork=0 suppressions=$suppressions log_path=$logs/$name" \
        "$@"
}

# Prints the reports logged under `name`, less one kind that no suppression
# can name: Qt freeing, in a function without a symbol and with nothing of
# ours on the stack, a block whose earlier access is its allocation on
# another thread. Debian ships no symbols for Qt's internals (its debug
# archive is not reachable from the build machines). Seen: the acquisition
# thread's posted-event list, grown by the main thread's first queued call
# and freed by Qt as the thread ends, both under the queue's own mutex.
reports() {
    local logged=("$logs/$1".*)
    [ -e "${logged[0]}" ] || return 0
    awk '
        function flush() {
            if (report ~ /WARNING: ThreadSanitizer/ &&
                !(report ~ /WARNING: ThreadSanitizer: data race/ && freed && frames >= 2 &&
                  !ours && allocated))
                printf "%s", report
            report = ""; section = 0; frames = 0; freed = 0; ours = 0; allocated = 0
        }
        /^==================$/ { flush(); next }
        { report = report $0 "\n" }
        /^WARNING: ThreadSanitizer/ { section = 1; next }
        /^$/ { if (section) section++; next }
        section == 1 && /^ +#[0-9]+ / {
            frames++
            if ($1 == "#0") freed = ($0 ~ /^ +#0 (free|operator delete)[ (]/)
            else if ($0 !~ / <null> <null> \(libQt6Core[.]so[.]6[+]0x[0-9a-f]+\)$/) ours = 1
        }
        section == 2 && /^  Previous/ { previous = 1 }
        section == 2 && previous && /^ +#0 / {
            allocated = ($0 ~ /^ +#0 (malloc|realloc|operator new)[ (]/)
            previous = 0
        }
        END { flush() }' "${logged[@]}"
}

status=0
run programs_test "$build_dir/tests/programs_test" || status=$?
found=$(reports programs_test)
if [ -n "$found" ]; then
    printf '%s\n' "$found" >&2
    echo "tsan: ThreadSanitizer reported the races above in the thread tests" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "tsan: the thread tests failed (status $status)" >&2
    exit "$status"
fi

if ! run racy_check "$build_dir/tests/tsan/tsan_racy_check"; then
    echo "tsan: tests/tsan/racy_check.cpp did not run its race" >&2
    exit 1
fi
if ! reports racy_check | grep -q 'tests/tsan/racy_check.cpp'; then
    reports racy_check >&2
    echo "tsan: the deliberate race in tests/tsan/racy_check.cpp went unreported:" \
        "tests/support/tsan.supp or the options hide our own code" >&2
    exit 1
fi
echo "tsan: the thread tests ran clean, and the deliberate race was reported"
