#!/usr/bin/env python3
"""Performance report: the three programs, a bare window and mbpoll, side by
side on one machine, each polling its own simulated module.

    scripts/measure/perf_report.py [--duration 600] [--startups 5]

Prints, as Markdown tables:
  - tick accuracy over the run (from the request times the simulated modules
    logged): mean period, p99 |period - 1000 ms|, cumulative drift;
  - CPU per hour of polling and peak memory of each program, and of the same
    window with no polling (bytepoll never started) as the floor;
  - start-up: launch to first paint of the window, and to autopoll's first
    request;
  - reply-to-screen latency inside the process (last byte read to the fields
    holding the values).
Windows run on their own Xvfb displays; the start buttons are clicked with
xdotool. Times are CLOCK_MONOTONIC, which the modules' logs also use.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")
START_BUTTON = (276, 20)  # centre of Command1 at 96 dpi, window at the origin


def ensure_tools():
    subprocess.run([os.path.join(ROOT, "scripts/deps.sh"), "xvfb", "xdotool", "mbpoll"], check=True)
    subprocess.run([os.path.join(ROOT, "scripts/build.sh")], check=True, stdout=subprocess.DEVNULL)


class Session:
    """Child processes and displays, all ended on exit."""

    def __init__(self, workdir, build):
        self.workdir = workdir
        self.build = build
        self.children = []
        self.next_display = 90

    def spawn(self, args, **kwargs):
        child = subprocess.Popen(args, **kwargs)
        self.children.append(child)
        return child

    def display(self):
        number = self.next_display
        self.next_display += 1
        self.spawn(["Xvfb", f":{number}", "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{number}"):
            if time.monotonic() > deadline:
                sys.exit(f"Xvfb :{number} did not start")
            time.sleep(0.05)
        return f":{number}"

    def module(self, name, framing, address):
        link = os.path.join(self.workdir, f"tty{name}{os.getpid()}")
        log = os.path.join(self.workdir, f"{name}.log")
        self.spawn([os.path.join(self.build, "tools/modsim/modsim"), "--framing", framing,
                    "--address", str(address), "--link", link, "--log", log],
                   stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(link):
            if time.monotonic() > deadline:
                sys.exit("modsim did not start")
            time.sleep(0.02)
        return link, log

    def program(self, name, display, link, stderr_path=None):
        env = dict(os.environ, DISPLAY=display, COMM_PORT1=link,
                   QT_LOGGING_RULES="poll.timing.*.debug=true")
        env.pop("QT_QPA_PLATFORM", None)
        err = open(stderr_path, "w") if stderr_path else subprocess.DEVNULL
        return self.spawn([os.path.join(self.build, "apps", name)], env=env, stderr=err,
                          stdout=subprocess.DEVNULL)

    def click_start(self, display):
        env = dict(os.environ, DISPLAY=display)
        subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "Form1"],
                       env=env, check=True, stdout=subprocess.DEVNULL, timeout=30)
        time.sleep(0.3)  # let the window settle before the click
        subprocess.run(["xdotool", "mousemove", str(START_BUTTON[0]), str(START_BUTTON[1]),
                        "click", "1"], env=env, check=True)

    def end(self):
        for child in reversed(self.children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
        for child in self.children:
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
        self.children.clear()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def request_times(log):
    times = []
    with open(log) as f:
        for line in f:
            parts = line.split(" ", 2)
            if len(parts) >= 2 and parts[1] == "rx":
                times.append(float(parts[0]))
    return times


def tick_figures(times):
    if len(times) < 3:
        return None
    periods = [(b - a) * 1000 for a, b in zip(times, times[1:])]
    errors = sorted(abs(p - 1000) for p in periods)
    p99 = errors[min(len(errors) - 1, len(errors) * 99 // 100)]
    drift = ((times[-1] - times[0]) - (len(times) - 1)) * 1000
    return len(times), statistics.mean(periods), p99, max(errors), drift


def side_by_side(session, duration):
    runs = {}
    for name, framing, address, click in [("bytepoll", "rtu", 67, True), ("autopoll", "rtu", 68, False),
                                          ("textpoll", "ascii", 67, True)]:
        link, log = session.module(name, framing, address)
        display = session.display()
        stderr = os.path.join(session.workdir, f"{name}.err")
        child = session.program(name, display, link, stderr)
        if click:
            session.click_start(display)
        runs[name] = dict(child=child, log=log, stderr=stderr)

    idle_display = session.display()
    # The same window never started: the floor a Qt program of these widgets cannot go under.
    idle = session.program("bytepoll", idle_display, "/nonexistent/tty")
    runs["bare window (bytepoll, not started)"] = dict(child=idle, log=None, stderr=None)

    link, log = session.module("mbpoll", "rtu", 67)
    mbpoll = session.spawn(["mbpoll", "-m", "rtu", "-a", "67", "-b", "9600", "-P", "none", "-t", "3",
                            "-r", "1", "-c", "8", "-l", "1000", link],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    runs["mbpoll -l 1000 (peer reference)"] = dict(child=mbpoll, log=log, stderr=None)

    time.sleep(2)  # all have started; count CPU from here
    start = time.monotonic()
    for run in runs.values():
        run["cpu0"] = cpu_seconds(run["child"].pid)
    print(f"side by side for {duration} s ...", file=sys.stderr)
    time.sleep(duration)
    elapsed = time.monotonic() - start
    for run in runs.values():
        pid = run["child"].pid
        run["cpu_per_hour"] = (cpu_seconds(pid) - run["cpu0"]) / elapsed * 3600
        run["peak"] = peak_kib(pid)
        if run["log"]:
            run["ticks"] = tick_figures([t for t in request_times(run["log"]) if t >= start])
    session.end()
    return runs, elapsed


def startups(session, count):
    shown, first_request = [], []
    for _ in range(count):
        link, log = session.module("startup", "rtu", 68)
        display = session.display()
        stderr = os.path.join(session.workdir, "startup.err")
        launched = time.monotonic()
        session.program("autopoll", display, link, stderr)
        deadline = launched + 10
        while time.monotonic() < deadline and not request_times(log):
            time.sleep(0.02)
        time.sleep(0.2)
        session.end()
        with open(stderr) as f:
            paint = re.search(r"first paint at (\d+) ns", f.read())
        if paint:
            shown.append((int(paint.group(1)) / 1e9 - launched) * 1000)
        times = request_times(log)
        if times:
            first_request.append((times[0] - launched) * 1000)
        os.remove(log)
    return shown, first_request


def latencies(path):
    with open(path) as f:
        return [float(x) for x in re.findall(r"reply-to-screen ([\d.]+) us", f.read())]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=float, default=600)
    parser.add_argument("--startups", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, os.environ.get("BUILD_DIR", "build")))
    args = parser.parse_args()
    ensure_tools()

    with tempfile.TemporaryDirectory() as workdir:
        session = Session(workdir, args.build)
        try:
            runs, elapsed = side_by_side(session, args.duration)
            auto_latency = latencies(runs["autopoll"]["stderr"])
            all_latency = sorted(auto_latency + latencies(runs["bytepoll"]["stderr"])
                                 + latencies(runs["textpoll"]["stderr"]))
            shown, first = startups(session, args.startups)
        finally:
            session.end()

    print(f"Side by side for {elapsed:.0f} s; machine: {os.cpu_count()} cores, {os.uname().release}\n")
    print("| program | requests | mean period | p99 \\|period - 1000\\| | max | cumulative drift |"
          " CPU per hour | peak memory |")
    print("|---|---|---|---|---|---|---|---|")
    for name, run in runs.items():
        ticks = run.get("ticks")
        timing = ("| {} | {:.3f} ms | {:.3f} ms | {:.3f} ms | {:.1f} ms ".format(*ticks)
                  if ticks else "| - | - | - | - | - ")
        print(f"| {name} {timing}| {run['cpu_per_hour']:.2f} s | {run['peak'] / 1024:.1f} MiB |")

    def summary(values, unit):
        if not values:
            return "none measured"
        values = sorted(values)
        return (f"median {statistics.median(values):.1f} {unit}, max {values[-1]:.1f} {unit} "
                f"({len(values)} samples)")

    print()
    print(f"- start-up, launch to first paint (autopoll): {summary(shown, 'ms')}")
    print(f"- start-up, launch to autopoll's first request: {summary(first, 'ms')}")
    if all_latency:
        p99 = all_latency[min(len(all_latency) - 1, len(all_latency) * 99 // 100)]
        print(f"- reply-to-screen, all three programs: {summary(all_latency, 'us')}, p99 {p99:.1f} us")


if __name__ == "__main__":
    main()
