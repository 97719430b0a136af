#!/usr/bin/env python3
"""Publishing to a broker, measured: pollcli with --publish against a local
mosquitto, each station polling its own simulated module.

    scripts/measure/bench_publish.py [--parts cpu,latency,outbox,bound,outage,fleet] [--quick]

  cpu      pollcli with and without --publish side by side, one broker: CPU a
           poll of the process, its acquisition thread and its publisher
           thread (--cpu-seconds, default 600; --cpu-order which starts first)
  latency  50 stations, one broker: from the reply the module wrote (its log)
           to a subscriber's receipt, p50 / p99 / max (--latency-seconds, 180)
  outbox   the broker down: VmRSS before and after 6,000 readings (an hour at
           1 Hz, here at 10 ms for 60 s), beside pollcli without --publish;
           the outbox sent once the broker is back, and what arrived
  bound    1 ms polls with the broker down past the outbox's 100,000
           readings: VmRSS, the oldest dropped and told once, the rest sent
  outage   1 poll a second, the broker stopped for 20 s and later stopped
           with SIGSTOP for 20 s: every reading arrives, and the polling
           periods in the module's log (modsim at real-time priority)
  fleet    50 stations for 5 minutes, the broker restarted half-way:
           readings sent against received, and the broker's CPU

--quick cuts every run to about a minute, for a look at the script itself.
Figures are printed as Markdown, each run with the machine's load during it
(the highest 1-minute load average, and whether a compiler ran: another
build on the 2 cores).

The subscriber is Debian's python3-paho-mqtt (scripts/deps.sh installs it),
run at real-time priority (chrt -f 50) as a timing observer; it stamps each
message with CLOCK_MONOTONIC, the clock of modsim's log. It keeps one
session across broker restarts (clean session off, the broker's persistence
on), so a reading the broker takes while the subscriber reconnects still
reaches it: what is missing is missing at the station's end. The broker's
queue for a subscriber is set far beyond its default of 1,000 messages,
which would drop readings of a drained outbox before the subscriber saw
them.
"""

import argparse
import collections
import csv
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEBIAN_PYTHON = "/usr/bin/python3"  # where Debian's python3-paho-mqtt is
OUTBOX_CAPACITY = 100_000
IN_FLIGHT = 16  # readings sent and not yet acknowledged, at most
# When each tick's timer woke and each request was written (CLOCK_MONOTONIC).
TIMING = "poll.timing.tick.debug=true\npoll.timing.comm.debug=true"
COMPILERS = {"cc1plus", "cc1", "ld", "collect2", "ld.gold", "lto1", "clang", "clang++", "ninja"}


# --- the subscriber, run as its own process -------------------------------

def subscriber(port, out, topic):
    """Every message on `topic` as '<monotonic s> <topic> <payload>' lines,
    written as they come (flushed every half second); out.ready once
    subscribed. Ends on SIGTERM."""
    import paho.mqtt.client as mqtt

    sink = open(out, "w")
    last_flush = [time.monotonic()]

    def on_connect(client, _userdata, _flags, rc):
        if rc == 0:
            client.subscribe(topic, qos=1)

    def on_subscribe(*_):
        open(out + ".ready", "w").close()

    def on_message(_client, _userdata, message):
        now = time.monotonic()
        sink.write(f"{now:.6f} {message.topic} {message.payload.decode()}\n")
        if now - last_flush[0] > 0.5:
            sink.flush()
            last_flush[0] = now

    client = mqtt.Client(client_id="bench-subscriber", clean_session=False)
    client.username_pw_set("viewer", "look")
    client.reconnect_delay_set(1, 1)
    client.on_connect, client.on_subscribe, client.on_message = on_connect, on_subscribe, on_message
    # Asynchronously: a broker not there yet is tried again each second.
    client.connect_async("127.0.0.1", port, keepalive=60)
    client.loop_start()
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    client.loop_stop()
    sink.close()


# --- processes ------------------------------------------------------------

def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit(f"bench_publish: {what}")
        time.sleep(0.02)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reap(process, deadline=None):
    """Waits for a child, until `deadline` (monotonic s) at most: then it is
    killed and its status is "hung". Its exit status and CPU seconds (user +
    system)."""
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG if deadline else 0)
        if pid:
            break
        if time.monotonic() > deadline:
            process.kill()
            _, _, usage = os.wait4(process.pid, 0)
            process.returncode = "hung"
            return process.returncode, usage.ru_utime + usage.ru_stime
        time.sleep(0.05)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_utime + usage.ru_stime


def statuses(results):
    """'50 x 0', or '49 x 0, 1 x hung': how the stations ended."""
    counts = {}
    for status in results:
        counts[status] = counts.get(status, 0) + 1
    return ", ".join(f"{n} x {status}" for status, n in sorted(counts.items(), key=str))


def rt(args):
    return ["chrt", "-f", "50", *args]


class Session:
    """Child processes of one run, all ended with it."""

    def __init__(self, workdir, build):
        self.workdir, self.build = workdir, build
        self.children = []

    def path(self, name):
        return os.path.join(self.workdir, name)

    def spawn(self, args, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        child = subprocess.Popen(args, **kwargs)
        self.children.append(child)
        return child

    def module(self, name, realtime=False):
        """A modsim on tty<name>, logging to <name>.log; (link, log)."""
        link, log = self.path(f"tty{name}"), self.path(f"{name}.log")
        args = [os.path.join(self.build, "tools/modsim/modsim"), "--link", link, "--log", log]
        self.spawn(rt(args) if realtime else args)
        wait_for(lambda: os.path.exists(link), 10, f"modsim {name} did not start")
        return link, log

    def pollcli(self, name, link, seconds, broker=None, interval=None, record=False, env=None):
        args = [os.path.join(self.build, "apps/pollcli/pollcli"), "--port", link, "--quiet",
                "--duration", str(seconds)]
        if interval:
            args += ["--interval", str(interval)]
        if record:
            args += ["--record", self.path(f"{name}.csv")]
        if broker:
            args += ["--publish", f"mqtt://127.0.0.1:{broker.port}/bench/{name}",
                     "--publish-user", "station", "--publish-password-file", broker.password_file]
        return self.spawn(args, stdout=open(self.path(f"{name}.out"), "w"),
                          stderr=open(self.path(f"{name}.err"), "w"), env=env)

    def end(self):
        for child in reversed(self.children):
            if child.returncode is None and child.poll() is None:
                child.send_signal(signal.SIGCONT)
                child.terminate()
        for child in self.children:
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
            except ChildProcessError:
                pass
        self.children.clear()


class Broker:
    """Debian's mosquitto on a free port of 127.0.0.1, users station (writes
    bench/#) and viewer (reads it), its sessions kept across a restart."""

    def __init__(self, session):
        self.session = session
        self.port = free_port()
        self.dir = session.path(f"broker{self.port}")
        os.mkdir(self.dir)
        self.password_file = os.path.join(self.dir, "station.password")
        with open(self.password_file, "w") as f:
            f.write("secret\n")
        os.chmod(self.password_file, 0o600)
        passwords = os.path.join(self.dir, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "station", "secret"], check=True)
        subprocess.run(["mosquitto_passwd", "-b", passwords, "viewer", "look"], check=True)
        with open(os.path.join(self.dir, "acl"), "w") as f:
            f.write("user station\ntopic write bench/#\n\nuser viewer\ntopic read bench/#\n")
        self.conf = os.path.join(self.dir, "broker.conf")
        with open(self.conf, "w") as f:
            f.write(f"""per_listener_settings false
user {os.environ.get("USER") or subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()}
allow_anonymous false
password_file {passwords}
acl_file {os.path.join(self.dir, "acl")}
persistence true
persistence_location {self.dir}/
max_queued_messages 10000000
listener {self.port} 127.0.0.1
""")
        self.process = None
        self.cpu = 0.0  # seconds, over every run of the broker so far

    def start(self):
        self.process = self.session.spawn(["mosquitto", "-c", self.conf],
                                          stderr=open(os.path.join(self.dir, "log"), "a"))

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, 10, "mosquitto did not start")

    def stop(self):
        """SIGTERM, as a service stop does: the broker writes its sessions and ends."""
        self.process.send_signal(signal.SIGCONT)
        self.process.terminate()
        self.cpu += reap(self.process, time.monotonic() + 10)[1]
        self.process = None

    def cpu_now(self):
        return self.cpu + (cpu_seconds(self.process.pid) if self.process else 0)


class Subscriber:
    def __init__(self, session, broker, name, ready=True):
        self.out = session.path(f"{name}.sub")
        self.process = session.spawn(rt([DEBIAN_PYTHON, os.path.abspath(__file__), "--subscriber",
                                          str(broker.port), self.out, "bench/+/reading"]))
        if ready:
            self.wait()

    def wait(self):
        wait_for(lambda: os.path.exists(self.out + ".ready"), 10, "the subscriber did not subscribe")

    def stop(self):
        self.process.terminate()
        reap(self.process, time.monotonic() + 10)
        return received(self.out)

    def count(self):
        with open(self.out, "rb") as f:
            return f.read().count(b"\n")


def received(path):
    """{station: [(monotonic s, polls, payload)]} in order of receipt."""
    got = {}
    with open(path) as f:
        for line in f:
            t, topic, payload = line.rstrip("\n").split(" ", 2)
            polls = int(re.search(r'"polls":(\d+)', payload).group(1))
            got.setdefault(topic.split("/")[1], []).append((float(t), polls, payload))
    return got


# --- what the system tells ------------------------------------------------

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_ns(pid):
    """ns on the CPU: (the whole process, its acquisition thread, its publisher thread)."""
    whole = acquisition = publisher = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                ns = int(f.read().split()[0])
            with open(f"/proc/{pid}/task/{task}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue  # a thread that just ended
        whole += ns
        acquisition += ns if comm == "acquisition" else 0
        publisher += ns if comm == "publisher" else 0
    return whole, acquisition, publisher


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def module_log(path, event):
    """The times of one event of a modsim log (rx: a request read, tx: a reply
    written), and for tx the registers of each reply."""
    times, registers = [], []
    with open(path) as f:
        for line in f:
            parts = line.split(" ", 2)
            if len(parts) >= 2 and parts[1] == event:
                times.append(float(parts[0]))
                if event == "tx":
                    data = bytes.fromhex(parts[2])[3:19]
                    registers.append([int.from_bytes(data[i:i + 2], "big", signed=True)
                                      for i in range(0, 16, 2)])
    return times, registers


def recorded(path):
    """The readings of a recording, each as (time, poll count): at 1 ms polls
    a reply that came late carries the count of the poll after it, so the
    count alone does not tell two readings apart."""
    with open(path, newline="") as f:
        return [(row["time"], int(row["polls"])) for row in csv.DictReader(f)]


def csv_rows(path):
    try:
        with open(path, "rb") as f:
            return max(f.read().count(b"\n") - 1, 0)
    except FileNotFoundError:
        return 0


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


class Watch(threading.Thread):
    """The machine's load during a run: the highest 1-minute load average, and
    the most compiler processes seen at once (another helper's build)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.stopped = threading.Event()
        self.start_load = self.load()
        self.max_load, self.compilers = self.start_load, 0
        self.start()

    @staticmethod
    def load():
        with open("/proc/loadavg") as f:
            return float(f.read().split()[0])

    def run(self):
        while not self.stopped.wait(2):
            self.max_load = max(self.max_load, self.load())
            found = 0
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/comm") as f:
                        found += f.read().strip() in COMPILERS
                except OSError:
                    pass
            self.compilers = max(self.compilers, found)

    def finish(self):
        self.stopped.set()
        self.join()
        build = (f"a build overlapped (up to {self.compilers} compiler processes)" if self.compilers
                 else "no build ran")
        return (f"1-minute load average {self.start_load:.2f} at the start, highest {self.max_load:.2f}, "
                f"{self.load():.2f} at the end; {build}")


def until(start, offset):
    pause = start + offset - time.monotonic()
    if pause > 0:
        time.sleep(pause)


def say(text=""):
    print(text, flush=True)


def deliveries(sent, got):
    """Of the readings a station sent (time, poll count): how many arrived,
    the copies beyond the first, and the poll counts of those that never
    arrived. Counted, not merely compared: at 1 ms polls two replies can
    make two readings alike in time and count, both recorded."""
    keys = collections.Counter((re.search(r'"time":"([^"]*)"', payload).group(1), polls)
                               for _, polls, payload in got)
    wanted = collections.Counter(sent)
    return (sum((wanted & keys).values()), sum((keys - wanted).values()),
            sorted(p for _, p in (wanted - keys).elements()))


def emptied(got, returned, last_held):
    """When the broker's return showed at the subscriber: the first reading
    after it, and the last of those held (poll count up to `last_held`)."""
    after = [t for t, _, _ in got if t > returned]
    held = [t for t, p, _ in got if p <= last_held]
    if not after:
        return "Nothing arrived after the broker's return."
    return (f"After the broker's return the first reading arrived in {after[0] - returned:.1f} s, the last "
            f"of those held in {max(held) - returned:.1f} s." if held else "")


# --- the runs -------------------------------------------------------------

def part_cpu(session, seconds, order):
    settle = 5
    broker = Broker(session)
    broker.start()
    sub = Subscriber(session, broker, "cpu")
    names = ["publish", "plain"] if order == "publish" else ["plain", "publish"]
    runs = {name: dict(link_log=session.module(name)) for name in names}
    watch = Watch()
    start = time.monotonic()
    for i, name in enumerate(names):
        until(start, i * 0.5)  # their polls half a second apart
        runs[name]["process"] = session.pollcli(name, runs[name]["link_log"][0], seconds + 2,
                                                broker if name == "publish" else None)
    for second in range(settle, seconds + 1):
        until(start, second + 0.25)
        for name in names:
            runs[name].setdefault("samples", []).append(thread_ns(runs[name]["process"].pid))
            if second in (settle, seconds):
                runs[name].setdefault("requests", []).append(
                    len(module_log(runs[name]["link_log"][1], "rx")[0]))
    for name in names:
        runs[name]["status"], _ = reap(runs[name]["process"], start + seconds + 15)
    time.sleep(1)
    got = sub.stop().get("publish", [])
    load = watch.finish()
    broker.stop()

    say(f"### CPU a poll, with and without --publish, {seconds} s side by side\n")
    say(f"Started first: pollcli {'with' if order == 'publish' else 'without'} --publish, the other "
        f"0.5 s later. Load: {load}.\n")
    say("| pollcli | requests | per poll, mean / median | acquisition thread, mean / median |"
        " publisher thread, mean / median | CPU per hour |")
    say("|---|---|---|---|---|---|")
    figures = {}
    for name in ("plain", "publish"):
        run = runs[name]
        polls = run["requests"][1] - run["requests"][0]
        first, last = run["samples"][0], run["samples"][-1]
        cells = []
        for k in range(3):
            steps = [(b[k] - a[k]) / 1e3 for a, b in zip(run["samples"], run["samples"][1:])]
            cells.append(((last[k] - first[k]) / 1e3 / polls, statistics.median(steps)))
        figures[name] = cells
        hour = (last[0] - first[0]) / 1e9 * 3600 / (len(run["samples"]) - 1)
        label = "with --publish" if name == "publish" else "without"
        publisher = "%.1f / %.1f us" % cells[2] if name == "publish" else "-"
        say(f"| {label} | {run['requests'][1]} | {cells[0][0]:.1f} / {cells[0][1]:.1f} us | "
            f"{cells[1][0]:.1f} / {cells[1][1]:.1f} us | {publisher} | {hour:.2f} s |")
    ratio = [figures["publish"][k][0] / figures["plain"][k][0] for k in range(2)]
    replies = len(module_log(runs["publish"]["link_log"][1], "tx")[0])
    arrived = len({p for _, p, _ in got})
    say(f"\nWith --publish against without: the process {ratio[0]:.2f} times, the acquisition thread "
        f"{ratio[1]:.2f} times (means). Readings that reached the subscriber: {arrived} of the {replies} "
        f"replies its module wrote; "
        f"exit status {runs['publish']['status']} (0: every reading reached the broker).\n")


def part_latency(session, stations, seconds):
    broker = Broker(session)
    broker.start()
    sub = Subscriber(session, broker, "latency")
    names = [f"s{i:02d}" for i in range(stations)]
    modules = {name: session.module(name, realtime=True) for name in names}
    watch = Watch()
    cpu0 = broker.cpu_now()
    start = time.monotonic()
    processes = {}
    for i, name in enumerate(names):
        until(start, i / stations)  # their polls spread over the second
        processes[name] = session.pollcli(name, modules[name][0], seconds, broker)
    ended = [reap(p, start + seconds + 15)[0] for p in processes.values()]
    time.sleep(2)
    broker_cpu = broker.cpu_now() - cpu0
    got = sub.stop()
    load = watch.finish()
    broker.stop()

    latencies, unmatched, wrong_values, copies, replies = [], 0, 0, 0, 0
    for name in names:
        tx, registers = module_log(modules[name][1], "tx")
        replies += len(tx)
        seen = set()
        for t, polls, payload in got.get(name, []):
            if polls in seen:
                copies += 1
                continue
            seen.add(polls)
            if polls > len(tx):
                unmatched += 1
                continue
            # The nth reply the module wrote answers poll n: the values say so.
            values = [int(float(v)) for v in re.search(r'"values":\[([^]]*)\]', payload).group(1).split(",")]
            wrong_values += values != registers[polls - 1]
            latencies.append((t - tx[polls - 1]) * 1000)
    say(f"### From the reply to the subscriber, {stations} stations, {seconds} s\n")
    say(f"Load: {load}. Broker CPU {broker_cpu:.2f} s ({broker_cpu / max(len(latencies), 1) * 1e6:.0f} us a "
        f"reading).\n")
    say("| readings matched | p50 | p99 | p99.9 | max | over 10 ms |")
    say("|---|---|---|---|---|---|")
    say(f"| {len(latencies)} of {replies} replies | {percentile(latencies, 0.5):.2f} ms | "
        f"{percentile(latencies, 0.99):.2f} ms | {percentile(latencies, 0.999):.2f} ms | "
        f"{max(latencies):.2f} ms | {sum(x > 10 for x in latencies)} |")
    say(f"\nMatched by station and poll count; values differing from the reply's registers: {wrong_values}; "
        f"readings without a logged reply: {unmatched}; copies: {copies}; the stations' exit statuses: "
        f"{statuses(ended)}.\n")


def part_outbox(session, outage, interval, drain):
    broker = Broker(session)
    broker.start()
    sub = Subscriber(session, broker, "outbox")
    broker.stop()  # the subscriber's session stays; the stations find no broker
    say("### The outbox while the broker is away\n")

    # An hour of readings, and pollcli without --publish beside it.
    names = ["outbox", "plain"]
    modules = {name: session.module(name) for name in names}
    watch = Watch()
    start = time.monotonic()
    processes = {name: session.pollcli(name, modules[name][0], outage + drain, interval=interval,
                                       broker=broker if name == "outbox" else None, record=True)
                 for name in names}
    rss = {name: [] for name in names}
    for at in (3, outage):
        until(start, at)
        for name in names:
            rss[name].append(rss_kib(processes[name].pid))
    rows_down = csv_rows(session.path("outbox.csv"))
    broker.start()
    returned = time.monotonic()
    until(start, outage + drain - 1)
    for name in names:
        rss[name].append(rss_kib(processes[name].pid))
    status = reap(processes["outbox"], start + outage + drain + 15)[0]
    reap(processes["plain"], start + outage + drain + 15)
    time.sleep(1)
    got = sub.stop().get("outbox", [])
    load = watch.finish()
    sent = recorded(session.path("outbox.csv"))
    arrived, copies, missing = deliveries(sent, got)
    say(f"{outage} s at {interval} ms a poll with the broker down ({rows_down} readings, "
        f"{rows_down / 3600:.2f} hours at one a second), then {drain} s with the broker back. "
        f"Load: {load}.\n")
    say("| pollcli | VmRSS at 3 s | at the broker's return | growth | a reading | at the end |")
    say("|---|---|---|---|---|---|")
    for name in names:
        before, after, end = rss[name]
        label = "with --publish" if name == "outbox" else "without"
        say(f"| {label} | {before} KiB | {after} KiB | {after - before} KiB | "
            f"{(after - before) * 1024 / max(rows_down, 1):.0f} bytes | {end} KiB |")
    say(f"\nReadings recorded {len(sent)}, arrived {arrived}, copies {copies}, never arrived {len(missing)}"
        f"{' (first: %s)' % missing[:5] if missing else ''}; exit status {status}. {emptied(got, returned, rows_down)}\n")

    broker.stop()


def part_bound(session, bound_wait, bound_drain):
    """1 ms polls with the broker down until the outbox has overflowed."""
    broker = Broker(session)
    broker.start()
    Subscriber(session, broker, "session").stop()
    broker.stop()  # the subscriber's session stays; the station finds no broker
    sub = Subscriber(session, broker, "bound", ready=False)  # it connects once the broker is back
    link, _ = session.module("bound")
    watch = Watch()
    start = time.monotonic()
    process = session.pollcli("bound", link, bound_wait + bound_drain, interval=1, broker=broker, record=True)
    until(start, 3)
    before = rss_kib(process.pid)
    target = OUTBOX_CAPACITY + OUTBOX_CAPACITY // 20
    while csv_rows(session.path("bound.csv")) < target and time.monotonic() < start + bound_wait:
        time.sleep(1)
    rows_down = csv_rows(session.path("bound.csv"))
    down_for = time.monotonic() - start
    full = rss_kib(process.pid)
    broker.start()
    returned = time.monotonic()
    sub.wait()
    until(start, bound_wait + bound_drain - 1)
    end = rss_kib(process.pid)
    status = reap(process, start + bound_wait + bound_drain + 15)[0]
    time.sleep(1)
    got = sub.stop().get("bound", [])
    load = watch.finish()
    broker.stop()
    sent = recorded(session.path("bound.csv"))
    arrived, copies, missing = deliveries(sent, got)
    with open(session.path("bound.err")) as f:
        told = len(re.findall(r"outbox for .* is full", f.read()))
    # Full, the outbox drops the oldest reading not on its way: the 16 sent
    # and waiting for their acknowledgement stay.
    arrived_polls = sorted(p for _, p, _ in got)
    oldest = (max(missing) < arrived_polls[min(IN_FLIGHT, len(arrived_polls) - 1)]
              if got and missing else None)
    say(f"1 ms polls (as fast as the module answers) with the broker down for {down_for:.0f} s "
        f"({rows_down} readings), then polling on with the broker back, to {bound_wait + bound_drain} s. "
        f"Load: {load}.\n")
    say("| VmRSS at 3 s | at the broker's return | growth | at the end |")
    say("|---|---|---|---|")
    say(f"| {before} KiB | {full} KiB | {full - before} KiB "
        f"({(full - before) * 1024 / min(max(rows_down, 1), OUTBOX_CAPACITY):.0f} bytes a reading held) | {end} KiB |")
    say(f"\nReadings recorded {len(sent)}, arrived {arrived}, copies {copies}, dropped {len(missing)} "
        f"(expected: the {max(rows_down - OUTBOX_CAPACITY, 0)} or so beyond the bound at the broker's return; "
        f"each older than all but the {IN_FLIGHT} readings in flight when it went: {oldest}); 'the outbox is full' told {told} time(s); "
        f"exit status {status}. {emptied(got, returned, sent[rows_down - 1][1] if rows_down else 0)}\n")


def part_outage(session, hold):
    broker = Broker(session)
    broker.start()
    sub = Subscriber(session, broker, "outage")
    names = ["outage", "plain"]
    modules = {name: session.module(name, realtime=True) for name in names}
    # stop at hold, back at 2 hold, SIGSTOP at 3 hold, SIGCONT at 4 hold, end 2 hold later
    seconds = 6 * hold
    watch = Watch()
    start = time.monotonic()
    processes = {}
    for i, name in enumerate(names):
        until(start, i * 0.5)
        processes[name] = session.pollcli(name, modules[name][0], seconds,
                                          broker if name == "outage" else None, record=(name == "outage"),
                                          env=dict(os.environ, QT_LOGGING_RULES=TIMING))
    events = {}
    until(start, hold)
    broker.stop()
    # From here: a reading polled before the broker had ended may have gone
    # to it, and come back from its persistence at the restart.
    events["stopped"] = time.monotonic()
    until(start, 2 * hold)
    broker.start()
    events["started"] = time.monotonic()
    until(start, 3 * hold)
    broker.process.send_signal(signal.SIGSTOP)
    events["SIGSTOP"] = time.monotonic()
    until(start, 4 * hold)
    broker.process.send_signal(signal.SIGCONT)
    events["SIGCONT"] = time.monotonic()
    status = reap(processes["outage"], start + seconds + 15)[0]
    reap(processes["plain"], start + seconds + 15)
    time.sleep(1)
    got = sub.stop().get("outage", [])
    load = watch.finish()
    broker.stop()
    sent = recorded(session.path("outage.csv"))
    arrived, copies, missing = deliveries(sent, got)
    reads = module_log(modules["outage"][1], "rx")[0]

    def back_after(away, back):
        """From the broker's return to the first reading polled while it was
        away (the n-th request read is poll n)."""
        polled = {n + 1 for n, t in enumerate(reads) if events[away] < t < events[back]}
        later = [t for t, p, _ in got if p in polled and t > events[back]]
        return f"{min(later) - events[back]:.1f} s" if later else "never"

    say(f"### The broker stopped for {hold} s, then stalled for {hold} s, at 1 poll a second\n")
    say(f"Broker stopped (SIGTERM) at {hold} s, started again at {2 * hold} s, stopped with SIGSTOP at "
        f"{3 * hold} s and continued at {4 * hold} s; {seconds} s in all. modsim and the subscriber at "
        f"real-time priority. Load: {load}.\n")
    say(f"Readings recorded {len(sent)}, arrived {arrived}, copies {copies}, never arrived {len(missing)} "
        f"{missing[:10] if missing else ''}; exit status {status}. The first reading polled while the broker "
        f"was stopped arrived {back_after('stopped', 'started')} after its restart, the first polled while it "
        f"was stalled {back_after('SIGSTOP', 'SIGCONT')} after SIGCONT.\n")
    with open(session.path("outage.err")) as f:
        told = list(dict.fromkeys(line.strip() for line in f if line.startswith("pollcli:")))
    say("What pollcli told on standard error (each line once, in order):\n")
    for line in told:
        say(f"    {line}")
    say()
    say("| pollcli | periods | p99 \\|period - 1000 ms\\| | max | max while the broker was stopped or stalled |"
        " periods more than 5 ms off |")
    say("|---|---|---|---|---|---|")
    for name in names:
        times = module_log(modules[name][1], "rx")[0]
        periods = [((b - a) * 1000, b) for a, b in zip(times, times[1:])]
        errors = [abs(p - 1000) for p, _ in periods]
        during = [abs(p - 1000) for p, t in periods
                  if events["stopped"] <= t <= events["started"] + 5 or events["SIGSTOP"] <= t <= events["SIGCONT"] + 15]
        label = "with --publish" if name == "outage" else "without"
        say(f"| {label} | {len(periods)} | {percentile(errors, 0.99):.3f} ms | {max(errors):.3f} ms | "
            f"{max(during):.3f} ms | {sum(e > 5 for e in errors)} |")
    late_periods(session, modules, names, start, events)


def late_periods(session, modules, names, start, events):
    """Each period more than 5 ms off, and where its request's time went: the
    tick's timer waking after its time, the write after the wake-up, the
    module's read after the write (from the program's timing log)."""
    rows = []
    for name in names:
        with open(session.path(f"{name}.err")) as f:
            text = f.read()
        writes = [int(ns) / 1e9 for ns in re.findall(r"request written at (\d+) ns", text)]
        wakes = [(int(ns) / 1e9, float(ms)) for ms, ns in
                 re.findall(r"woke (-?[\d.]+) ms after its time, at (\d+) ns", text)]
        reads = module_log(modules[name][1], "rx")[0]
        for a, b in zip(reads, reads[1:]):
            if abs((b - a) * 1000 - 1000) <= 5:
                continue
            written = max((w for w in writes if w <= b), default=None)
            woke = max((w for w in wakes if written and w[0] <= written), default=None)
            if written is None or woke is None:
                continue
            nearest = min(events, key=lambda e: abs(events[e] - b))
            rows.append(f"| {name} | {b - start:.1f} s ({b - events[nearest]:+.1f} s from {nearest}) | "
                        f"{(b - a) * 1000:.1f} ms | {woke[1]:.2f} ms | {(written - woke[0]) * 1000:.2f} ms | "
                        f"{(b - written) * 1000:.2f} ms |")
    if rows:
        say("\nThe periods more than 5 ms off, and where the later request's time went:\n")
        say("| pollcli | read at | period | timer woke late by | wake-up to write | write to the module's read |")
        say("|---|---|---|---|---|---|")
        for row in rows:
            say(row)
    say()


def part_fleet(session, stations, seconds):
    broker = Broker(session)
    broker.start()
    sub = Subscriber(session, broker, "fleet")
    names = [f"f{i:02d}" for i in range(stations)]
    modules = {name: session.module(name, realtime=True) for name in names}
    watch = Watch()
    start = time.monotonic()
    processes = {}
    for i, name in enumerate(names):
        until(start, i / stations)
        processes[name] = session.pollcli(name, modules[name][0], seconds, broker, record=True)
    until(start, seconds / 2)
    broker.stop()
    broker.start()
    restarted = time.monotonic() - start
    results = {name: reap(p, start + seconds + 15) for name, p in processes.items()}
    time.sleep(3)
    got = sub.stop()
    load = watch.finish()
    broker.stop()
    sent = arrived = copies = 0
    short = []
    for name in names:
        polls = recorded(session.path(f"{name}.csv"))
        once, again, missing = deliveries(polls, got.get(name, []))
        sent, arrived, copies = sent + len(polls), arrived + once, copies + again
        if missing:
            short.append(f"{name}: {len(missing)} ({missing[:5]})")
    station_cpu = sum(cpu for _, cpu in results.values())
    say(f"### {stations} stations for {seconds} s, the broker restarted at {restarted:.0f} s\n")
    say(f"Load: {load}.\n")
    say("| readings sent | arrived | copies | never arrived | the stations' exit statuses | broker CPU |"
        " broker CPU a reading | the 50 pollcli's CPU a reading |")
    say("|---|---|---|---|---|---|---|---|")
    say(f"| {sent} | {arrived} | {copies} | {sent - arrived} | {statuses(s for s, _ in results.values())} | "
        f"{broker.cpu:.2f} s | {broker.cpu / max(sent, 1) * 1e6:.0f} us | {station_cpu / max(sent, 1) * 1e6:.0f} us |")
    if short:
        say("\nStations short of readings: " + "; ".join(short))
    say()


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--subscriber":
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
        subscriber(int(sys.argv[2]), sys.argv[3], sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parts", default="cpu,latency,outbox,bound,outage,fleet")
    parser.add_argument("--quick", action="store_true", help="every run about a minute")
    parser.add_argument("--cpu-seconds", type=int, default=600)
    parser.add_argument("--cpu-order", choices=["publish", "plain"], default="publish",
                        help="which pollcli starts first")
    parser.add_argument("--stations", type=int, default=50)
    parser.add_argument("--latency-seconds", type=int, default=180)
    parser.add_argument("--fleet-seconds", type=int, default=300)
    parser.add_argument("--hold", type=int, default=20, help="seconds the broker is stopped, and stalled")
    parser.add_argument("--build", default=os.path.join(ROOT, os.environ.get("BUILD_DIR", "build")))
    args = parser.parse_args()
    # Ended from outside (Ctrl+C, timeout): the children end with the run.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench_publish: ended by SIGTERM"))
    parts = args.parts.split(",")
    unknown = set(parts) - {"cpu", "latency", "outbox", "bound", "outage", "fleet"}
    if unknown:
        parser.error(f"unknown parts: {', '.join(sorted(unknown))}")
    if args.quick:
        args.cpu_seconds, args.latency_seconds, args.fleet_seconds, args.hold = 60, 60, 60, 10

    subprocess.run([os.path.join(ROOT, "scripts/deps.sh"), "python3-paho-mqtt"], check=True)
    subprocess.run([os.path.join(ROOT, "scripts/build.sh")], check=True, stdout=subprocess.DEVNULL)
    say(f"## Publishing, {time.strftime('%Y-%m-%d %H:%M', time.gmtime())} UTC\n")
    with open("/proc/loadavg") as f:
        say(f"Machine: {os.cpu_count()} cores, {os.uname().release}, mosquitto "
            f"{subprocess.run(['mosquitto', '-h'], capture_output=True, text=True).stdout.split()[2]}; "
            f"load average at the start {' '.join(f.read().split()[:3])}.\n")
    with tempfile.TemporaryDirectory() as workdir:
        for part in parts:
            session = Session(os.path.join(workdir, part), args.build)
            os.mkdir(session.workdir)
            try:
                if part == "cpu":
                    part_cpu(session, args.cpu_seconds, args.cpu_order)
                elif part == "latency":
                    part_latency(session, args.stations, args.latency_seconds)
                elif part == "outbox":
                    part_outbox(session, 20 if args.quick else 60, 10, 20 if args.quick else 30)
                elif part == "bound":
                    part_bound(session, 60 if args.quick else 200, 40 if args.quick else 100)
                elif part == "outage":
                    part_outage(session, args.hold)
                elif part == "fleet":
                    part_fleet(session, args.stations, args.fleet_seconds)
            finally:
                session.end()
                if os.environ.get("KEEP"):
                    subprocess.run(["cp", "-r", session.workdir, os.environ["KEEP"]])


if __name__ == "__main__":
    main()
