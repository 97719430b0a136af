#!/usr/bin/env bash
# The programs' code (codec, poll, serial, network, acquisition, ui, translations and apps)
# uses Qt and the standard library only, so that it builds on Windows too.
# POSIX belongs in the simulator and the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
# (::write( is the system's; CommControl::write( a member of ours.)
pattern='#include *<(unistd|fcntl|termios|poll|pty|dirent|pthread|dlfcn|signal)\.h>|#include *<sys/|#include *<linux/|\b(ioctl|tcsetattr|tcgetattr|openpty|getrusage|fork|execv[a-z]*|usleep|nanosleep|sigaction)\s*\(|(^|[^[:alnum:]_])::(open|read|write|close|poll|select)\s*\('
# The places allowed POSIX calls, each behind Q_OS_UNIX, and why:
allowed=(
    acquisition/startup.cpp      # descriptors 0 to 2, SIGPIPE
    acquisition/recorder.cpp     # opening a FIFO without blocking
    apps/polltrend/follower.cpp  # opening without blocking, and which file a path names
    serial/device_unix.cpp       # the serial port's own descriptor: termios, its lock, reads and writes
)
for file in "${allowed[@]}"; do
    if ! grep -q '#ifdef Q_OS_UNIX' "$file"; then
        echo "check_portable: $file may use POSIX calls only behind #ifdef Q_OS_UNIX" >&2
        exit 1
    fi
done
excluded=()
for file in "${allowed[@]}"; do excluded+=(--exclude="$(basename "$file")"); done
if hits=$(grep -rnE "$pattern" codec poll serial network acquisition ui translations apps --include='*.cpp' --include='*.h' "${excluded[@]}"); then
    echo "check_portable: POSIX calls in the programs' code:" >&2
    echo "$hits" >&2
    exit 1
fi
echo "check_portable: codec, poll, serial, network, acquisition, ui, translations and apps use no POSIX calls (but ${allowed[*]}, behind Q_OS_UNIX)"
