#!/usr/bin/env bash
# pollcli over the network: a bridge of its own here carries a TCP port to
# the simulated module's pseudo-terminal unchanged, as a serial device server
# would, and the values read through it are those read on the terminal.
#   network_e2e_test.sh MODSIM POLLCLI
set -uo pipefail
modsim=$1 pollcli=$2
dir=$(mktemp -d); pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; [ -n "${KEEP:-}" ] || rm -rf "$dir"' EXIT
. "$(dirname "$0")/support/rows.sh"

"$modsim" --link "$dir/tty67" --values 235,-5,32767,-32768,0,1,-1,1234 >/dev/null & pids+=($!)
within 10 "[ -e $dir/tty67 ]"
python3 - "$dir/tty67" "$dir/port" <<'PY' & pids+=($!)
import os, select, socket, sys, tty
server = socket.create_server(("127.0.0.1", 0))
open(sys.argv[2] + ".new", "w").write(str(server.getsockname()[1]))
os.rename(sys.argv[2] + ".new", sys.argv[2])
line = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(line)
while True:
    client, data = server.accept()[0], b"-"
    while data:
        for end in select.select([client, line], [], [])[0]:
            data = client.recv(4096) if end is client else os.read(line, 4096)
            os.write(line, data) if end is client else client.sendall(data)
PY
within 10 "[ -e $dir/port ]"
port=$(cat "$dir/port")

values() { cut -d, -f4-12 "$1" | tail -n +2 | sort -u; } # checksum_ok and the channels
"$pollcli" --port "$dir/tty67" --duration 2 --interval 200 --quiet --record "$dir/serial.csv" 2>/dev/null
"$pollcli" --port "tcp://127.0.0.1:$port" --duration 2 --interval 200 --quiet \
    --record "$dir/tcp.csv" 2>"$dir/tcp.err"
status=$?
row "pollcli over tcp:// reads what it reads on the terminal, and says once whose the line settings are" \
    '[ $status -eq 0 ] && [ "$(values $dir/tcp.csv)" = "$(values $dir/serial.csv)" ] &&
     [ "$(tail -n +2 $dir/tcp.csv | wc -l)" -ge 5 ] && [ "$(grep -c "server.s to set" $dir/tcp.err)" -eq 1 ]'
usage() { for url in tcp://127.0.0.1 tcp://127.0.0.1:0 tcp://127.0.0.1:65536 tcp://:$port; do
    "$pollcli" --port "$url" --duration 1 >/dev/null 2>&1; [ $? -eq 2 ] || return 1; done
    COMM_PORT1=tcp://127.0.0.1 "$pollcli" --duration 1 >/dev/null 2>&1; [ $? -eq 2 ]; }
row "a tcp:// port without host or usable port, given or in COMM_PORT1, is a usage error" usage
exit $failed
