#!/usr/bin/env bash
# Through a real serial device server: Debian's ser2net, started here on a
# free port of 127.0.0.1, serves a simulated module's pseudo-terminal as raw
# TCP. What pollcli and autopoll read through it is what pollcli reads on the
# terminal; the server stopped, killed mid-reply or stalled is told with the
# system's reason, nothing is counted as sent while it is away, and polling
# resumes within 2 ticks of its return. Skipped (77) without ser2net.
#   ser2net_test.sh MODSIM POLLCLI AUTOPOLL
set -uo pipefail
modsim=$1 pollcli=$2 autopoll=$3
ser2net=${SER2NET:-$(command -v ser2net || echo /usr/sbin/ser2net)}
[ -x "$ser2net" ] || { echo "ser2net is not installed: skipped"; exit 77; }
export QT_QPA_PLATFORM=offscreen
dir=$(mktemp -d); pids=()
trap 'kill -CONT ${server:-0} 2>/dev/null; kill "${pids[@]}" ${server:-} 2>/dev/null; wait; [ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
. "$(dirname "$0")/support/rows.sh"
monotonic() { python3 -c 'import time; print(time.monotonic())'; }
sim() { "$modsim" --link "$dir/$1" "${@:2}" >/dev/null & pids+=($!); within 10 "[ -e $dir/$1 ]"; }
values=235,-5,32767,-32768,0,1,-1,1234
sim direct --values $values --corrupt-every 3
sim served --values $values --corrupt-every 3 --also-address 68 # autopoll reads module 68
sim faulty --values $values --log "$dir/faulty.log" --split 3:80
port=$(free_port)

# One connection per port: raw TCP, no modem lines on a pseudo-terminal, and
# a client that connects again takes over from its dead connection.
serve() { # LINK: ser2net serving it on $port, in the foreground
    printf 'connection: &module\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,%s,local\n  options:\n    kickolduser: true\n' \
        "${accepter:-tcp}" "$port" "$dir/$1" "${line:-9600n81}" >"$dir/ser2net.yaml"
    "$ser2net" -n -d -c "$dir/ser2net.yaml" -P "$dir/ser2net.pid" 2>>"$dir/ser2net.err" & server=$!
    within 10 listening
}
# Listening, seen in the kernel's table (state 0A) rather than by a
# connection of our own, which ser2net would take as its client.
listening() { grep -qi ":$(printf %04X "$port") 00000000:0000 0A" /proc/net/tcp; }

serve served
"$pollcli" --port "$dir/direct" --duration 2 --interval 200 --quiet --record "$dir/direct.csv" >"$dir/direct.out" 2>&1
"$pollcli" --port "tcp://127.0.0.1:$port" --duration 2 --interval 200 --quiet --record "$dir/tcp.csv" \
    >"$dir/tcp.out" 2>"$dir/tcp.err"
status=$?
# Poll count, errors, checksum verdict and channels, row by row from poll 1
# as far as the shorter goes (tcp:// spends its first tick connecting), and
# every third reply failed its checksum on either path.
readings() { cut -d, -f2-12 "$1" | sed -n "2,$2p"; }
figure() { sed -n "s/^$1: *\([0-9]*\).*/\1/p" "$dir/$2.out"; }
third_failed() { [ "$(figure "replies failed" $1)" -eq $((($(figure "replies ok" $1) + $(figure "replies failed" $1)) / 3)) ]; }
same_counts() {
    local n; n=$(wc -l <"$dir/tcp.csv")
    [ "$(wc -l <"$dir/direct.csv")" -lt "$n" ] && n=$(wc -l <"$dir/direct.csv")
    [ "$n" -ge 6 ] && [ "$(readings "$dir/tcp.csv" "$n")" = "$(readings "$dir/direct.csv" "$n")" ] &&
        third_failed tcp && third_failed direct && [ "$(figure "replies failed" tcp)" -ge 1 ]
}
row "raw: pollcli over tcp:// through ser2net reads the values, polls and checksum failures it reads on the terminal" \
    '[ $status -eq 0 ] && same_counts && grep -q "drift: .* after 10 ticks" $dir/tcp.out'

COMM_PORT1="tcp://127.0.0.1:$port" "$autopoll" --record "$dir/auto.csv" 2>"$dir/auto.err" & pids+=($!)
within 15 "[ -e $dir/auto.csv ] && [ \$(wc -l <$dir/auto.csv) -ge 5 ]"; kill ${pids[-1]}; wait ${pids[-1]} 2>/dev/null
verdict() { awk -F, -v ok="$2" 'NR > 1 && $4 == ok' "$1" | cut -d, -f5-12 | sort -u; }
row "autopoll through ser2net records the values pollcli reads on the terminal, and a failed checksum as such" \
    '[ "$(verdict $dir/auto.csv 1)" = "$(verdict $dir/direct.csv 1)" ] && [ -n "$(verdict $dir/auto.csv 0)" ]'

# RFC 2217: a server whose line starts at 19200 baud is set to 9600,N,8,1
# before the first request, as modsim sees the terminal; a plain telnet
# server refuses COM-port control, and that is the run's fault.
kill $server; wait $server 2>/dev/null
sim settable --values $values --log "$dir/settable.log" --log-line
accepter='telnet(rfc2217),tcp' line=19200e71 serve settable
"$pollcli" --port "rfc2217://127.0.0.1:$port" --duration 2 --interval 200 --quiet >"$dir/rfc.out" 2>"$dir/rfc.err"
status=$?
row "RFC 2217: the line reaches the terminal as 9600,N,8,1 before the first request, and the values are read" \
    '[ $status -eq 0 ] && [ "$(awk "\$2 != \"line\" { print \$2; exit }" $dir/settable.log)" = rx ] &&
     [ "$(grep " line " $dir/settable.log | tail -n 1 | cut -d" " -f3)" = 9600,N,8,1 ] &&
     [ "$(figure "replies ok" rfc)" -ge 5 ] && ! grep -q "server.s to set" $dir/rfc.err'
kill $server; wait $server 2>/dev/null
accepter=telnet,tcp serve settable
"$pollcli" --port "rfc2217://127.0.0.1:$port" --duration 1 --interval 200 --quiet >"$dir/rfc.out" 2>"$dir/rfc.err"
row "RFC 2217: a server that will not set the line is a fault, named, and nothing is sent" \
    '[ $? -eq 1 ] && grep -q "^pollcli: cannot open rfc2217://.*refuses to set the line" $dir/rfc.err &&
     [ "$(figure "requests sent" rfc)" -eq 0 ]'

# The faults, one pollcli through them all at 5 polls a second, each tick's
# wake-up logged with its CLOCK_MONOTONIC time as modsim logs each request.
kill $server; wait $server 2>/dev/null
serve faulty
: >"$dir/faults.out"
QT_LOGGING_RULES=poll.timing.tick.debug=true "$pollcli" --port "tcp://127.0.0.1:$port" --duration 50 \
    --interval 200 >"$dir/faults.out" 2>"$dir/faults.err" & pids+=($!)
replies() { grep -c "reply ok" "$dir/faults.out"; }
sent() { grep -c "sent *poll" "$dir/faults.out"; }
told() { grep -c "^pollcli: .*$1" "$dir/faults.err"; }
ticks() { grep -c "tick [0-9]* woke" "$dir/faults.err"; }
within 15 "[ \$(replies) -ge 3 ]"
# Ticks from the server's return to the first request the module read after
# it, that one excluded: one to connect, one to spare.
ticks_to_resume() { # SINCE (monotonic s)
    local first
    first=$(awk -v t="$1" '$2 == "rx" && $1 > t { print $1; exit }' "$dir/faulty.log")
    [ -n "$first" ] || return 1
    sed -n 's/.*tick [0-9]* woke .* at \([0-9]*\) ns/\1/p' "$dir/faults.err" |
        awk -v a="$1" -v b="$first" '$1 / 1e9 > a && $1 / 1e9 < b' | wc -l
}
# The server away, then back: told, nothing sent meanwhile, polling again.
outage() { # NAME SIGNAL REASON
    local before after away back ticks
    before=$(grep -c "^pollcli: " "$dir/faults.err")
    kill -"$2" $server; wait $server 2>/dev/null
    within 10 "[ \$(grep -c '^pollcli: ' $dir/faults.err) -gt $before ]" || { echo "$1: not told" >&2; return 1; }
    # Three ticks away, a connection refused in them, and no request sent.
    before=$(sent) away=$(ticks)
    within 10 "[ \$(ticks) -ge $((away + 3)) ] && [ \$(told refused) -gt ${refused:-0} ]" ||
        { echo "$1: no connection refused while away" >&2; return 1; }
    refused=$(told refused) after=$(sent)
    serve faulty; back=$(monotonic)
    within 10 "[ \$(replies) -gt $(replies) ]" || { echo "$1: polling did not resume" >&2; return 1; }
    ticks=$(ticks_to_resume "$back")
    [ "$after" -eq "$before" ] && [ "$ticks" -le 2 ] &&
        sed -n '/^pollcli: /p' "$dir/faults.err" | tail -n 4 | grep -q "$3" && return 0
    echo "$1: $((after - before)) sent while away, $ticks ticks to resume; told:" >&2
    sed -n '/^pollcli: /p' "$dir/faults.err" | tail -n 4 >&2
    return 1
}
row "a. ser2net stopped and started again: told, nothing sent while away, polling again within 2 ticks" \
    'outage stopped TERM "closed the connection\|refused"'
# Mid-reply: the module's reply goes out in three pieces 80 ms apart, and
# its log tells the first: the kill lands before the last.
mid_reply() { within 10 "tail -n 1 $dir/faulty.log | grep -q ' tx '"; outage "$@"; }
row "b. ser2net killed mid-reply: told, nothing sent while away, polling again within 2 ticks" \
    'mid_reply killed KILL "closed the connection\|reset\|refused"'

row "no reply failed its checksum through the server stopped and killed mid-reply" \
    '! grep -q "reply FAILED" $dir/faults.out'

# Half-open: the server stalled, its socket still taking bytes and telling
# nothing; after 10 silent polls the link says so and connects again.
kill -STOP $server
stall=$(replies)
within 10 "[ \$(told 'no reply to 10 requests') -ge 1 ]"
stalled=$?
kill -CONT $server
back=$(monotonic)
within 10 "[ \$(replies) -gt $stall ]"
resumed=$?
row "c. ser2net stalled: 10 silent polls told and connected again; polling again within 2 ticks of SIGCONT" \
    '[ $stalled -eq 0 ] && [ $resumed -eq 0 ] && [ "$(ticks_to_resume $back)" -le 2 ]'

# A name that does not resolve, and a port nobody listens on: named with
# the system's reason, no request counted as sent, and a failed run.
unreachable() { # URL REASON
    "$pollcli" --port "$1" --duration 2 --interval 200 >"$dir/gone.out" 2>"$dir/gone.err"
    [ $? -eq 1 ] && grep -q "^pollcli: .*$2" "$dir/gone.err" && grep -q "^requests sent: *0$" "$dir/gone.out" &&
        ! grep -q "sent *poll" "$dir/gone.out"
}
row "d. a name that does not resolve and a refused port: named, nothing counted as sent" \
    'unreachable tcp://no-such-host.invalid:1 "not found" && unreachable tcp://127.0.0.1:$(free_port) refused'
exit $failed
