#!/usr/bin/env python3
"""Late requests: the three window programs, each on its own Xvfb display,
pollcli and mbpoll, side by side, each polling its own simulated module.

    scripts/measure/late_requests.py [--duration 600] [--before DIR]

--before DIR runs a second set of the same programs, built earlier, beside
the first (DIR holds bytepoll, autopoll, textpoll and pollcli).

Counts the periods between the requests each module read that are more than
5 ms off 1000 ms, and says for each where the time went, from the programs'
own timing log (CLOCK_MONOTONIC, as the modules' logs): to the step whose
delay changed most between the period's two requests,
  - timer: the acquisition thread's wake-up after the tick's time;
  - write: the request's write after the wake-up;
  - read: the module's read after the write (the simulator's scheduling).
"""

import argparse
import bisect
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from perf_report import ROOT, Session  # noqa: E402

OFF_MS = 5.0
WINDOWS = [("bytepoll", "rtu", 67, True), ("autopoll", "rtu", 68, False), ("textpoll", "ascii", 67, True)]
TIMING = "poll.timing.tick.debug=true\npoll.timing.comm.debug=true"


def launch(session, path, env, stderr_path, args=()):
    env = dict(os.environ, QT_LOGGING_RULES=TIMING, **env)
    env.pop("QT_QPA_PLATFORM", None)
    with open(stderr_path, "w") as err:
        return session.spawn([path, *args], env=env, stderr=err, stdout=subprocess.DEVNULL)


def start_set(session, label, binaries):
    runs = {}
    for name, framing, address, click in WINDOWS:
        link, log = session.module(f"{label}{name}", framing, address)
        display = session.display()
        stderr = os.path.join(session.workdir, f"{label}{name}.err")
        launch(session, binaries[name], {"DISPLAY": display, "COMM_PORT1": link}, stderr)
        if click:
            session.click_start(display)
        runs[f"{name} ({label})" if label else name] = dict(log=log, stderr=stderr)
    link, log = session.module(f"{label}pollcli", "rtu", 67)
    stderr = os.path.join(session.workdir, f"{label}pollcli.err")
    launch(session, binaries["pollcli"], {"COMM_PORT1": link}, stderr, ["--quiet"])
    runs[f"pollcli ({label})" if label else "pollcli"] = dict(log=log, stderr=stderr)
    return runs


def module_reads(log, since):
    with open(log) as f:
        return [float(p[0]) for p in (line.split(" ", 2) for line in f) if len(p) > 1 and p[1] == "rx"
                and float(p[0]) >= since]


def program_log(path):
    with open(path) as f:
        text = f.read()
    writes = [int(ns) / 1e9 for ns in re.findall(r"request written at (\d+) ns", text)]
    # (when the tick was due, when the thread woke), in seconds
    ticks = [(int(ns) / 1e9 - float(ms) / 1e3, int(ns) / 1e9)
             for ms, ns in re.findall(r"woke (-?[\d.]+) ms after its time, at (\d+) ns", text)]
    return writes, ticks


def last_before(times, t):
    index = bisect.bisect_right(times, t) - 1
    return times[index] if index >= 0 else None


def figures(run, since):
    """Each period more than OFF_MS off is put down to the step whose delay
    changed most between its two requests: the timer's wake-up after the
    tick's time, the write after the wake-up, or the module's read after the
    write."""
    reads = module_reads(run["log"], since)
    writes, ticks = program_log(run["stderr"])
    if len(reads) < 3:
        return None
    woke = [w for _, w in ticks]
    due_of = dict((w, d) for d, w in ticks)

    def steps(read):
        written = last_before(writes, read)
        wake = last_before(woke, written) if written is not None else None
        if wake is None:
            return None
        return {"timer": wake - due_of[wake], "write": written - wake, "read": read - written}

    late = {"timer": 0, "write": 0, "read": 0, "unmatched": 0}
    off = 0
    for previous, read in zip(reads, reads[1:]):
        if abs((read - previous) * 1000 - 1000) <= OFF_MS:
            continue
        off += 1
        a, b = steps(previous), steps(read)
        if a is None or b is None:
            late["unmatched"] += 1
            continue
        late[max(a, key=lambda step: abs(b[step] - a[step]))] += 1
    timer_late = sum(1 for due, wake in ticks if (wake - due) * 1000 > OFF_MS and wake >= since)
    # The same count from the program's own writes: what a line, whose far
    # end needs no CPU of this machine, would see.
    written = [w for w in writes if since <= w <= reads[-1]]
    writes_off = sum(1 for a, b in zip(written, written[1:]) if abs((b - a) * 1000 - 1000) > OFF_MS)
    # Where in the clock's second the ticks fall: Qt's coarse timers (a text
    # field's caret blinks on one) gather near .000 and .500 of it.
    phases = sorted((due % 1.0) * 1000 for due, _ in ticks)
    phase = f"{phases[len(phases) // 2]:.0f} ms" if phases else "-"
    return dict(requests=len(reads), off=off, timer_late=timer_late, writes_off=writes_off if written else None,
                phase=phase, **late)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=float, default=600)
    parser.add_argument("--build", default=os.path.join(ROOT, os.environ.get("BUILD_DIR", "build")))
    parser.add_argument("--before", help="folder with an earlier build's bytepoll, autopoll, textpoll and pollcli")
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/deps.sh"), "xvfb", "xdotool", "mbpoll"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(ROOT, "scripts/build.sh")], check=True, stdout=subprocess.DEVNULL)

    after = {name: os.path.join(args.build, "apps", name) for name, *_ in WINDOWS}
    after["pollcli"] = os.path.join(args.build, "apps/pollcli/pollcli")
    with tempfile.TemporaryDirectory() as workdir:
        session = Session(workdir, args.build)
        try:
            runs = start_set(session, "after" if args.before else "", after)
            if args.before:
                before = {name: os.path.join(args.before, name) for name in after}
                runs.update(start_set(session, "before", before))
            link, log = session.module("mbpoll", "rtu", 67)
            session.spawn(["mbpoll", "-m", "rtu", "-a", "67", "-b", "9600", "-P", "none", "-t", "3", "-r", "1",
                           "-c", "8", "-l", "1000", link], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            mbpoll_err = os.path.join(workdir, "mbpoll.err")
            open(mbpoll_err, "w").close()
            runs["mbpoll -l 1000"] = dict(log=log, stderr=mbpoll_err)
            time.sleep(3)  # every program polls; count from here
            since = time.monotonic()
            print(f"side by side for {args.duration:.0f} s ...", file=sys.stderr)
            time.sleep(args.duration)
        finally:
            session.end()
        results = {name: figures(run, since) for name, run in runs.items()}

    print(f"{args.duration:.0f} s side by side; machine: {os.cpu_count()} cores, {os.uname().release}; "
          f"load average at the end: {os.getloadavg()[0]:.2f}\n")
    print(f"| program | requests | periods > {OFF_MS:g} ms off | of them, put down to the timer's wake-up |"
          " to the write | to the module's read | ticks that woke > 5 ms late | periods > 5 ms off between"
          " the program's writes | ticks at, into the clock's second |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, r in results.items():
        if r is None:
            print(f"| {name} | too few requests | | | | | | | |")
            continue
        if r["timer"] + r["write"] + r["read"] == 0 and r["unmatched"]:  # no timing log: mbpoll
            print(f"| {name} | {r['requests']} | {r['off']} | - | - | - | - | - | - |")
            continue
        print(f"| {name} | {r['requests']} | {r['off']} | {r['timer']} | {r['write']} | {r['read']} |"
              f" {r['timer_late']} | {r['writes_off']} | {r['phase']} |")


if __name__ == "__main__":
    main()
