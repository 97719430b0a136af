#!/usr/bin/env python3
"""Polling over the network, measured: pollcli over tcp:// through Debian's
ser2net to one simulated module, and pollcli on a pseudo-terminal to
another, side by side in one run at the default 1 poll a second.

    scripts/measure/bench_network.py [--seconds 600] [--quick]

For each pollcli: the polling periods as the module saw them (the rx times
of its --log; each modsim runs at real-time priority, chrt -f 50, as the
timing observer) at p50 / p99 / max, and its CPU a poll; beside them
ser2net's own CPU a poll. CPU is the nanoseconds of every thread in
/proc/PID/task/*/schedstat between two samples, over the requests the
module read between them: schedstat counts to the nanosecond where utime
counts whole clock ticks of 10 ms, more than a poll costs.

--quick runs for 30 s, for a look at the script itself. Figures are printed
as Markdown, with the machine's load during the run.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_publish import (ROOT, Session, Watch, free_port, module_log,  # noqa: E402
                           percentile, reap, rt, say, thread_ns, until, wait_for)

SER2NET = shutil.which("ser2net") or "/usr/sbin/ser2net"


def ser2net_config(path, port, link):
    """A connection serving `link` on `port` of 127.0.0.1, raw TCP, the
    modem lines ignored (a pseudo-terminal has none)."""
    with open(path, "w") as f:
        f.write(f"connection: &bench\n"
                f"  accepter: tcp,127.0.0.1,{port}\n"
                f"  connector: serialdev,{link},9600n81,local\n"
                f"  options:\n"
                f"    kickolduser: true\n")


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def periods_ms(times, start, end):
    """The gaps between requests read within [start, end], in ms."""
    inside = [t for t in times if start <= t <= end]
    return [(b - a) * 1000 for a, b in zip(inside, inside[1:])]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--quick", action="store_true", help="30 s instead")
    parser.add_argument("--build", default=os.path.join(ROOT, os.environ.get("BUILD_DIR", "build")))
    args = parser.parse_args()
    seconds = 30 if args.quick else args.seconds
    if seconds < 20:
        parser.error("--seconds must be at least 20")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench_network: ended by SIGTERM"))
    if not os.access(SER2NET, os.X_OK):
        sys.exit("bench_network: ser2net is not installed (apt-get install ser2net)")
    subprocess.run([os.path.join(ROOT, "scripts/build.sh")], check=True, stdout=subprocess.DEVNULL)
    version = subprocess.run([SER2NET, "-v"], capture_output=True, text=True).stdout.split()[-1]
    say(f"## Polling over the network, {time.strftime('%Y-%m-%d %H:%M', time.gmtime())} UTC\n")
    with open("/proc/loadavg") as f:
        say(f"Machine: {os.cpu_count()} cores, {os.uname().release}, ser2net {version}; "
            f"load average at the start {' '.join(f.read().split()[:3])}.\n")

    with tempfile.TemporaryDirectory() as workdir:
        session = Session(workdir, args.build)
        try:
            run(session, seconds)
        finally:
            session.end()
            if os.environ.get("KEEP"):
                subprocess.run(["cp", "-r", workdir, os.environ["KEEP"]])


def run(session, seconds):
    modules = {name: session.module(name, realtime=True) for name in ("tcp", "pty")}
    port = free_port()
    config = session.path("ser2net.yaml")
    ser2net_config(config, port, modules["tcp"][0])
    server = session.spawn([SER2NET, "-n", "-d", "-c", config, "-P", session.path("ser2net.pid")],
                           stderr=open(session.path("ser2net.err"), "w"))
    wait_for(lambda: listening(port), 10, "ser2net did not listen")

    watch = Watch()
    start = time.monotonic()
    clients = {"tcp": session.pollcli("tcp", f"tcp://127.0.0.1:{port}", seconds),
               "pty": session.pollcli("pty", modules["pty"][0], seconds)}
    # CPU between two samples, clear of the start (connecting, the first
    # open) and of the end (the report, exit).
    until(start, 5)
    first = {name: thread_ns(c.pid)[0] for name, c in clients.items()}
    first["ser2net"] = thread_ns(server.pid)[0]
    t0 = time.monotonic()
    until(start, seconds - 3)
    last = {name: thread_ns(c.pid)[0] for name, c in clients.items()}
    last["ser2net"] = thread_ns(server.pid)[0]
    t1 = time.monotonic()
    status = {name: reap(c, start + seconds + 15)[0] for name, c in clients.items()}
    load = watch.finish()

    reads = {name: module_log(modules[name][1], "rx")[0] for name in modules}
    polls = {name: sum(t0 <= t <= t1 for t in reads[name]) for name in reads}
    say(f"{seconds} s, one poll a second each; CPU counted over the {t1 - t0:.0f} s from 5 s after the "
        f"start to 3 s before the end. Load: {load}.\n")
    say("| pollcli | exit | requests read | period p50 | p99 | max | CPU a poll |")
    say("|---|---|---|---|---|---|---|")
    for name, label in (("tcp", "tcp:// through ser2net"), ("pty", "pseudo-terminal")):
        gaps = periods_ms(reads[name], start, start + seconds + 1)
        cpu = (last[name] - first[name]) / max(polls[name], 1) / 1000
        if gaps:
            say(f"| {label} | {status[name]} | {len(reads[name])} | {percentile(gaps, 0.5):.2f} ms | "
                f"{percentile(gaps, 0.99):.2f} ms | {max(gaps):.2f} ms | {cpu:.0f} us |")
        else:
            say(f"| {label} | {status[name]} | {len(reads[name])} | - | - | - | {cpu:.0f} us |")
    cpu = (last["ser2net"] - first["ser2net"]) / max(polls["tcp"], 1) / 1000
    say(f"\nser2net: {cpu:.0f} us of CPU a poll it carried.\n")
    with open(session.path("tcp.err")) as f:
        told = list(dict.fromkeys(line.strip() for line in f if line.startswith("pollcli:")))
    if told:
        say("What the tcp:// pollcli told on standard error (each line once):\n")
        for line in told:
            say(f"    {line}")
        say()


if __name__ == "__main__":
    main()
