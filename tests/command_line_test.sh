#!/usr/bin/env bash
# Each program's command line, without a display: --help, --version and
# --list-ports print and end at once, a wrong option ends with status 2, and
# a record file that cannot be opened ends the program before any window.
#   command_line_test.sh PROGRAM...
# RUN_WITH, when set, is the command that runs a program: a cross-built
# program under Wine, which keeps the display its other programs share.
set -uo pipefail
read -ra run_with <<< "${RUN_WITH:-}"
# Each run is bounded so that a hang fails the test instead of stalling it;
# the bound is for a hang, not a measure of speed. A program ends here in
# 50 ms natively and 0.4 s under Wine, but the first Wine program after its
# server started waits for Wine's services: 3.1 s with the cores busy, and
# on a loaded machine past the 5 s this bound once was.
bound=5
[ ${#run_with[@]} -eq 0 ] || bound=60
[ ${#run_with[@]} -gt 0 ] || unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
# Where a row needs the window programs to get past the display check.
display=""
[ ${#run_with[@]} -gt 0 ] || display=QT_QPA_PLATFORM=offscreen
dir=$(mktemp -d); trap 'rm -rf "$dir"' EXIT
failed=0
check() { if ! eval "$2"; then echo "FAIL: $1" >&2; failed=1; fi; }
for program in "$@"; do
    name=$(basename "$program" .exe)
    help=$(timeout $bound "${run_with[@]}" "$program" --help); status=$?
    check "$name --help exits 0" '[ $status -eq 0 ]'
    check "$name --help names --port, --record, --echo and --trace" '[[ $help == *--port* && $help == *--record* && $help == *--echo* && $help == *--trace* ]]'
    version=$(timeout $bound "${run_with[@]}" "$program" --version)
    check "$name --version prints the version" '[[ $version =~ ^$name\ [0-9]+\.[0-9]+ ]]'
    ports=$(timeout $bound "${run_with[@]}" "$program" --list-ports); status=$?
    check "$name --list-ports exits 0 and says what it found ($ports)" \
        '[ $status -eq 0 ] && [[ $ports =~ ^("No serial ports found."|[0-9]+\ serial\ ports?\ found:) ]]'
    timeout $bound "${run_with[@]}" "$program" --bogus 2>/dev/null; status=$?
    check "$name --bogus exits 2" '[ $status -eq 2 ]'
    error=$(env $display timeout $bound "${run_with[@]}" "$program" --record /nonexistent/dir/values.csv 2>&1); status=$?
    check "$name refuses an unwritable record file" '[ $status -eq 2 ] && [[ $error == *"/nonexistent/dir/values.csv"* ]]'
    if [ "$name" != pollcli ] && [ ${#run_with[@]} -eq 0 ]; then
        error=$(timeout $bound "$program" --record "$dir/new.csv" 2>&1); status=$?
        check "$name without a display: status 2, one line naming QT_QPA_PLATFORM=offscreen, no file made ($error)" \
            '[ $status -eq 2 ] && [ $(grep -c . <<< "$error") -eq 1 ] && [[ $error == *QT_QPA_PLATFORM=offscreen* ]] && [ ! -e "$dir/new.csv" ]'
    fi
    if [ "$name" = pollcli ]; then
        # An idle poller (its port cannot be opened) uses far less CPU than the
        # 2 s it runs for, or says the figure is not measured.
        cpu=$(timeout $((bound + 15)) "${run_with[@]}" "$program" --port /nonexistent/tty --duration 2 --quiet 2>/dev/null |
              sed -n 's/^CPU time: *//p')
        check "pollcli --duration reports CPU time, not wall time ($cpu)" \
            '[[ $cpu == "not measured"* ]] || awk -v s="${cpu%% *}" "BEGIN { exit !(s != \"\" && s < 1) }"'
    fi
done
exit $failed
