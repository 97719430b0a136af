#!/usr/bin/env bash
# What a careless or hostile command line does to a recording, one row a case.
#   recording_faults_test.sh MODSIM AUTOPOLL POLLCLI OTHER_PROGRAM...
set -uo pipefail
modsim=$1 autopoll=$2 pollcli=$3; shift 3; programs=("$autopoll" "$pollcli" "$@")
export QT_QPA_PLATFORM=offscreen
dir=$(mktemp -d); pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$dir"' EXIT
. "$(dirname "$0")/support/rows.sh"
whole() { [ "$(tail -c1 "$1" | od -An -tx1)" = " 0a" ] && ! grep -qvE '^([^,]*,){11,12}[^,]*.$' "$1"; }
sim() { "$modsim" --link "$dir/$1" "${@:2}" >/dev/null & pids+=($!); within 10 "[ -e $dir/$1 ]"; }
sim tty --address 68; sim tty67

# A full disk: a small tmpfs where the test may mount one, else a file size limit.
full_run() { "$pollcli" --port "$dir/tty67" --interval 20 --duration 3 --quiet --record "$1/values.csv" >/dev/null; }
mkdir "$dir/small"; export -f full_run; export pollcli dir
if unshare -m mount -t tmpfs tmpfs "$dir/small" 2>/dev/null; then
    unshare -m bash -c "mount -t tmpfs -o size=4k tmpfs $dir/small && full_run $dir/small; s=\$?; cp $dir/small/values.csv $dir; exit \$s"
else
    (trap '' XFSZ; ulimit -f 8; full_run "$dir/small"; s=$?; cp "$dir/small/values.csv" "$dir"; exit $s)
fi 2>"$dir/full.err"; status=$?
row "a full disk: status 1, the system's reason, the file ends in a whole line" \
    '[ $status -eq 1 ] && grep -qE "No space left|too large" $dir/full.err && whole $dir/values.csv'

mkfifo "$dir/fifo"
python3 -c 'import os, sys
keep = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)  # a reader from now on
open(sys.argv[2], "w").close()
with open(sys.argv[1], "rb") as fifo: [fifo.readline() for _ in range(3)]' "$dir/fifo" "$dir/ready" & pids+=($!)
within 10 "[ -e $dir/ready ]"
COMM_PORT1=$dir/tty "$autopoll" --record "$dir/fifo" 2>"$dir/fifo.err" & pids+=($!)
row "a FIFO whose reader exits: the program lives and tells" \
    'within 10 "grep -q \"Broken pipe\" $dir/fifo.err" && kill -0 ${pids[-1]}'
sim away --address 68 --away-after 2 --away-for 300
COMM_PORT1=$dir/away "$autopoll" --record "$dir/closed.csv" 2>&- & pids+=($!)
row "standard error closed: the port's fault stays out of the CSV" \
    'within 15 "[ \$(cat $dir/closed.csv 2>/dev/null | wc -l) -ge 5 ]" && whole $dir/closed.csv'

for program in "${programs[@]}"; do
    name=$(basename "$program")
    for option in --record --port; do
        timeout 5 "$program" $option "" 2>"$dir/empty.err"; status=$?
        row "$name $option '': a usage error" '[ $status -eq 2 ] && grep -q -- "$option needs" $dir/empty.err'
    done
    printf 'a,b\n1,2\n' > "$dir/foreign.csv"
    timeout 5 "$program" --record "$dir/foreign.csv" 2>/dev/null; status=$?
    row "$name refuses a foreign file and leaves it" '[ $status -eq 2 ] && [ "$(cat $dir/foreign.csv)" = "$(printf "a,b\n1,2")" ]'
    timeout 5 "$program" --record "$dir/fifo" 2>"$dir/noreader.err"; status=$?
    row "$name refuses a FIFO no one reads" '[ $status -eq 2 ] && grep -q "no program is reading" $dir/noreader.err'
    for option in $(grep -oE '^\.B[RI]? (\\-)+([a-z]|\\-)+' "$(dirname "$0")/../docs/man/$name.1" | sed 's/.* //; s/\\//g'); do
        row "$name accepts $option of its manual page" '"$program" --help | grep -q -- "$option"'
    done
done

head -c $(($(head -1 "$dir/values.csv" | wc -c) + 20)) "$dir/values.csv" > "$dir/torn.csv" # the header and 20 bytes of a row
"$pollcli" --port "$dir/tty67" --duration 1 --quiet --record "$dir/torn.csv" >/dev/null
row "a last line without its end is never glued to" \
    '[ $(sed -n 2p $dir/torn.csv | wc -c) -eq 22 ] && [ "$(sed -n 3p $dir/torn.csv | cut -d, -f2)" = 1 ]'
cli() { timeout 10 "$pollcli" --quiet "$@" >/dev/null 2>"$dir/cli.err"; }
cli --port "$dir/tty67" --duration 1.5;                  row "pollcli: replies, status 0" '[ $? -eq 0 ]'
cli --port "$dir/nonexistent" --duration 1.5;            row "pollcli: no reply, status 1" '[ $? -eq 1 ]'
cli --port "$dir/tty67" --duration 1.5 --record /dev/full; row "pollcli: recording failed, status 1" '[ $? -eq 1 ]'
for duration in inf nan 1e18 2147484 4294969; do
    cli --duration $duration;                            row "pollcli --duration $duration: status 2" '[ $? -eq 2 ]'
done
cli --record "$dir/new.csv" --address 999;               row "a refused option leaves no file" '[ $? -eq 2 ] && [ ! -e $dir/new.csv ]'
SECONDS=0; cli --port "$dir/tty67" --duration 1 --interval 86400000
row "pollcli --duration ends on time whatever the interval, and says no poll fit" \
    '[ $? -eq 1 ] && [ $SECONDS -le 3 ] && grep -q "no poll fits" $dir/cli.err'
timeout 10 "$pollcli" --port "$dir/tty67" --duration 2.5 --record - >"$dir/stdout.csv" 2>"$dir/cli.err"
row "pollcli --record -: only the recording on standard output, the figures on standard error" \
    '[ $(wc -l <$dir/stdout.csv) -ge 3 ] && whole $dir/stdout.csv &&
     grep -q "^requests sent: *$(($(wc -l <$dir/stdout.csv) - 1))$" $dir/cli.err'
cp "$dir/stdout.csv" "$dir/traced.csv"
timeout 5 "$autopoll" --port "$dir/tty" --trace --record "$dir/traced.csv" 2>>"$dir/traced.csv"; status=$?
timeout 5 "$pollcli" --port "$dir/tty" --trace --record - >"$dir/traced.out" 2>&1; status2=$?
row "--trace into the record file: refused" \
    '[ $status -eq 2 ] && [ $status2 -eq 2 ] && grep -q "trace would be mixed" $dir/traced.out &&
     [ "$(grep -v "^autopoll: " $dir/traced.csv)" = "$(cat $dir/stdout.csv)" ]'
sim corrupt --corrupt-every 2
# How many polls fit a run depends on the load; each sum must match its lines.
timeout 10 "$pollcli" --port "$dir/corrupt" --duration 3.5 >"$dir/lines" 2>&1 # poll 2's reply has 1.5 s to come
timeout 10 "$pollcli" --port "$dir/corrupt" --address 5 --duration 2.5 >"$dir/silent" 2>&1
sum() { sed -n "s/^$2: *\([0-9]*\).*/\1/p" "$dir/$1"; }
row "pollcli says of each poll: reply ok, reply FAILED checksum, no reply; and sums them up" \
    'grep -q "reply ok  poll 1 " $dir/lines && grep -q "reply FAILED checksum  poll 2 " $dir/lines &&
     grep -q "no reply  poll 1$" $dir/silent && ! cat $dir/lines $dir/silent | grep "sent" | grep -q values &&
     [ "$(sum lines "replies failed")" = $(grep -c "reply FAILED" $dir/lines) ] &&
     [ "$(sum silent "replies missing")" = "$(sum silent "requests sent")" ] && [ "$(sum silent "requests sent")" -ge 1 ]'
cli --port "/tmp/$(printf 'a%.0s' {1..5000})" --duration 1
row "a long --port gives the system's reason" 'grep -q "File name too long" $dir/cli.err'
exit $failed
