#!/usr/bin/env python3
"""Line and port fault drill with the real autopoll program (offscreen)
against the simulated module, printing what happened as Markdown:

  1. a flood of noise at full speed for 10 s: autopoll's memory, its ticks,
     and whether clean replies come through afterwards;
  2. the device unplugged and replugged N times (default 50): each fault
     seen, and how many ticks after the device's return polling resumed;
  3. the device missing at start, then plugged in;
  4. a second program opening the same port.

    scripts/measure/fault_drill.py [--replugs 50]

Fault and recovery lines are autopoll's own (standard error), timed as they
arrive; request times come from the module's log. Both clocks are
CLOCK_MONOTONIC.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, os.environ.get("BUILD_DIR", "build"))


class Module:
    def __init__(self, workdir, name, *options):
        self.link = os.path.join(workdir, f"tty{name}{os.getpid()}")
        self.log = os.path.join(workdir, f"{name}.log")
        self.process = subprocess.Popen(
            [os.path.join(BUILD, "tools/modsim/modsim"), "--address", "68", "--link", self.link,
             "--log", self.log, *options], stdout=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.link), 10, "modsim did not start")

    def requests(self):
        return lines_of(self.log, "rx")

    def replies(self):
        return lines_of(self.log, "tx")

    def stop(self):
        self.process.terminate()
        self.process.wait(5)


class Program:
    """autopoll, offscreen, its standard error lines timed as they arrive."""

    def __init__(self, link):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", COMM_PORT1=link,
                   QT_LOGGING_RULES="poll.timing.comm.debug=true")
        self.process = subprocess.Popen([os.path.join(BUILD, "apps/autopoll")], env=env,
                                        stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
        self.lines = []  # (monotonic time, line)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def said(self, text, since=0.0):
        return [(t, line) for t, line in list(self.lines) if text in line and t >= since]

    def resident_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        self.process.terminate()
        self.process.wait(5)


def wait_for(condition, timeout, message):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"fault_drill: {message}")
        time.sleep(0.01)


def lines_of(log, kind):
    times = []
    if not os.path.exists(log):
        return times
    with open(log) as f:
        for line in f:
            parts = line.split(" ", 2)
            if len(parts) >= 2 and parts[1].startswith(kind):
                times.append(float(parts[0]))
    return times


def flood(workdir):
    module = Module(workdir, "flood", "--values", "1,2,3,4,5,6,7,8", "--noise-for", "10000")
    program = Program(module.link)
    started = time.monotonic()
    peak = 0
    while time.monotonic() - started < 10:
        peak = max(peak, program.resident_kib())
        time.sleep(0.25)
    time.sleep(4)  # replies come through clean again
    ticks = [t for t in module.requests() if started <= t <= started + 10]
    periods = [(b - a) * 1000 for a, b in zip(ticks, ticks[1:])]
    latencies = program.said("reply-to-screen", since=started + 11)
    alive = program.alive()
    program.stop()
    module.stop()
    print("### Flood of noise, 10 s at full speed\n")
    print(f"- autopoll alive afterwards: {'yes' if alive else 'NO'}")
    print(f"- peak resident memory during the flood: {peak / 1024:.1f} MiB")
    if periods:
        print(f"- ticks during the flood: {len(ticks)}, periods {min(periods):.1f} to {max(periods):.1f} ms "
              f"(mean {statistics.mean(periods):.1f} ms)")
    print(f"- clean replies decoded in the 3 s after the flood: {len(latencies)}")
    print()


def replugs(workdir, count):
    module = Module(workdir, "replug", "--values", "5,5,5,5,5,5,5,5", "--away-after", "1",
                    "--away-for", "1500", "--away-repeat")
    program = Program(module.link)
    resumed_in_ticks, faults_seen = [], 0
    for cycle in range(count):
        wait_for(lambda: not os.path.exists(module.link), 30, f"cycle {cycle}: the device never went away")
        wait_for(lambda: os.path.exists(module.link), 30, f"cycle {cycle}: the device never came back")
        back = time.monotonic()
        wait_for(lambda: program.said("again", since=back), 30, f"cycle {cycle}: polling never resumed")
        resumed_in_ticks.append(program.said("again", since=back)[0][0] - back)
    faults_seen = len(program.said("lost")) + len(program.said("cannot open"))
    alive = program.alive()
    program.stop()
    module.stop()
    seconds = sorted(resumed_in_ticks)
    within_two = sum(1 for s in seconds if s <= 2.0)
    print(f"### Device unplugged and replugged {count} times\n")
    print(f"- autopoll alive afterwards: {'yes' if alive else 'NO'}")
    print(f"- fault lines on standard error: {faults_seen} (a loss, then a failed open while away)")
    print(f"- polling resumed after the device's return: within 2 ticks {within_two} of {count} times; "
          f"median {statistics.median(seconds):.2f} s, max {seconds[-1]:.2f} s")
    print()


def missing_at_start(workdir):
    link = os.path.join(workdir, f"ttylate{os.getpid()}")
    program = Program(link)
    time.sleep(3.5)
    faults = program.said("cannot open")
    module = Module(workdir, "late", "--values", "7,7,7,7,7,7,7,7")
    assert module.link == link
    back = time.monotonic()
    wait_for(lambda: program.said("again", since=back), 10, "polling never started")
    resumed = program.said("again", since=back)[0][0] - back
    requests_while_missing = len([t for t in module.requests() if t < back])
    program.stop()
    module.stop()
    print("### Device missing at start\n")
    print(f"- fault lines in 3.5 s without the device: {len(faults)} "
          f"({faults[0][1] if faults else 'none'})")
    print(f"- requests counted while missing: {requests_while_missing}")
    print(f"- polling began {resumed:.2f} s after the device appeared")
    print()


def second_program(workdir):
    module = Module(workdir, "shared", "--values", "9,9,9,9,9,9,9,9")
    first = Program(module.link)
    time.sleep(1.5)
    second = Program(module.link)
    time.sleep(4)
    before = len(module.requests())
    time.sleep(3)
    rate = (len(module.requests()) - before) / 3
    told = second.said("cannot open")
    both_alive = first.alive() and second.alive()
    first.stop()
    second.stop()
    module.stop()
    print("### A second program on the same port\n")
    print(f"- the second was told: {told[0][1] if told else 'nothing'} ({len(told)} line(s) in 4 s)")
    print(f"- requests reaching the module per second meanwhile: {rate:.1f} (the first program alone)")
    print(f"- both alive: {'yes' if both_alive else 'NO'}")
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--replugs", type=int, default=50)
    args = parser.parse_args()
    subprocess.run([os.path.join(ROOT, "scripts/build.sh")], check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory() as workdir:
        flood(workdir)
        replugs(workdir, args.replugs)
        missing_at_start(workdir)
        second_program(workdir)


if __name__ == "__main__":
    main()
