#!/usr/bin/env bash
# The programs' code (codec, poll, serial, acquisition, ui and apps)
# uses Qt and the standard library only, so that it builds on Windows too.
# POSIX belongs in the simulator and the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
pattern='#include *<(unistd|fcntl|termios|poll|pty|dirent|pthread|dlfcn|signal)\.h>|#include *<sys/|#include *<linux/|\b(ioctl|tcsetattr|tcgetattr|openpty|getrusage|fork|execv[a-z]*|usleep|nanosleep|sigaction)\s*\(|::(open|read|write|close|poll|select)\s*\('
# The four places allowed a few POSIX calls, each behind Q_OS_UNIX with its
# reason: the programs' start-up (descriptors 0 to 2, SIGPIPE), the recorder
# (opening a FIFO without blocking), polltrend's follower (opening without
# blocking, and which file a path names) and the comm control (the driver's
# wake-up threshold, set through QSerialPort's handle, which reads and writes
# no byte there).
allowed=(acquisition/startup.cpp acquisition/recorder.cpp apps/polltrend/follower.cpp serial/commcontrol.cpp)
for file in "${allowed[@]}"; do
    if ! grep -q '#ifdef Q_OS_UNIX' "$file"; then
        echo "check_portable: $file may use POSIX calls only behind #ifdef Q_OS_UNIX" >&2
        exit 1
    fi
done
excluded=()
for file in "${allowed[@]}"; do excluded+=(--exclude="$(basename "$file")"); done
if hits=$(grep -rnE "$pattern" codec poll serial acquisition ui apps --include='*.cpp' --include='*.h' "${excluded[@]}"); then
    echo "check_portable: POSIX calls in the programs' code:" >&2
    echo "$hits" >&2
    exit 1
fi
echo "check_portable: codec, poll, serial, acquisition, ui and apps use no POSIX calls (but ${allowed[*]}, behind Q_OS_UNIX)"
