# The rows of a shell test: `row TEXT CHECK` prints "ok" or "FAIL" with the
# text and keeps the failure for the exit status ($failed); `within SECONDS
# CHECK` waits up to SECONDS for CHECK; `free_port` gives a port of
# 127.0.0.1 that nothing listens on. Sourced by the tests beside it.
failed=0
row() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1" >&2; failed=1; fi; }
within() { for _ in $(seq $(($1 * 10))); do eval "$2" && return 0; sleep 0.1; done; return 1; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
