#!/usr/bin/env bash
# Benchmark of the trend, its figures side by side in one run:
# - polltrend opening and drawing a day (86,400 rows) and a week (604,800
#   rows) into a PNG, wall time and peak memory, and the peak above that of
#   a recording with no rows (what Qt itself takes) beside three times the
#   values' raw size (the time as 8 bytes and eight 4-byte floats a row: 40 bytes);
# - autopoll without the trend, with --trend, and with --trend showing
#   markers A and B in stacked lanes (set by xdotool), at the same time under
#   Xvfb, each on its own simulated module: CPU of all threads from
#   /proc/PID/task/*/schedstat over SECONDS (default 600), start-up excluded.
#   scripts/measure/bench_polltrend.sh [SECONDS] [SCREENSHOT.png]
# The modules hold the values 1 to 8 (flat lines); WAVES=1 gives them
# modsim's slow sine waves, lines that slope at every reading.
# SCREENSHOT, if given, gets the screen at the end, to see what was measured.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
shot=${2:+$(realpath -m "$2")}
build_dir=${BUILD_DIR:-build}
values=--values=1,2,3,4,5,6,7,8
[ -z "${WAVES:-}" ] || values=
scripts/build.sh >/dev/null
workdir=$(mktemp -d)

trap 'rm -rf "$workdir"' EXIT

# A recording of `rows` seconds, as the recorder writes it.
make_recording() {
    python3 - "$1" "$2" <<'PY'
import math, sys
path, rows = sys.argv[1], int(sys.argv[2])
with open(path, "w", newline="") as out:
    out.write("time,polls,errors,checksum_ok," + ",".join(f"ch{i}" for i in range(8)) + "\r\n")
    start = 1796774400  # 2026-12-09T00:00:00Z
    lines = []
    for s in range(rows):
        t = start + s
        day, rest = divmod(t - start, 86400)
        h, m, sec = rest // 3600, rest // 60 % 60, rest % 60
        v = [round(1000 * math.sin(s / (300 + 50 * i))) + i for i in range(8)]
        lines.append(f"2026-12-{9 + day:02}T{h:02}:{m:02}:{sec:02}.000+00:00,{s + 1},0,1," + ",".join(map(str, v)) + "\r\n")
        if len(lines) == 10000:
            out.writelines(lines); lines = []
    out.writelines(lines)
PY
}

echo "== polltrend: open and draw a recording into 1200x600 (offscreen)"
printf '%-8s %9s %8s %10s %10s %10s %12s\n' recording rows "MB" "wall s" "peak MiB" "data MiB" "raw MiB x3"
baseline=0
for sizes in "none 0" "day 86400" "week 604800"; do
    read -r name rows <<<"$sizes"
    make_recording "$workdir/$name.csv" "$rows"
    /usr/bin/time -f '%e %M' -o "$workdir/$name.time" \
        "$build_dir/apps/polltrend" "$workdir/$name.csv" --png "$workdir/$name.png" 2>/dev/null
    read -r wall peak_kib <"$workdir/$name.time"
    [ "$rows" -gt 0 ] || baseline=$peak_kib
    awk -v n="$name" -v r="$rows" -v f="$(stat -c %s "$workdir/$name.csv")" -v w="$wall" -v p="$peak_kib" -v b="$baseline" \
        'BEGIN { printf "%-8s %9d %8.1f %10.2f %10.1f %10.1f %12.1f\n", n, r, f / 1048576, w, p / 1024, (p - b) / 1024, 3 * r * 40 / 1048576 }'
done

echo "== autopoll without the trend, with it, and with it showing markers A and B in stacked lanes,"
shape="each module holding 1 to 8"
[ -z "$values" ] && shape="each module's values slow sine waves"
echo "   side by side under Xvfb for $seconds s${BEFORE_BUILD:+ (and --trend as built in $BEFORE_BUILD)}, $shape"
command -v xvfb-run >/dev/null || scripts/deps.sh xvfb xauth
command -v xdotool >/dev/null || scripts/deps.sh xdotool
before_autopoll=${BEFORE_BUILD:+$(realpath "$BEFORE_BUILD")/apps/autopoll}
cat >"$workdir/side_by_side.sh" <<SH
set -euo pipefail
names="plain trend marked${before_autopoll:+ before}"
for name in \$names; do
    "$build_dir/tools/modsim/modsim" --address 68 --link "$workdir/tty\$name" $values >/dev/null &
done
for name in \$names; do
    for _ in \$(seq 100); do [ -e "$workdir/tty\$name" ] && break; sleep 0.05; done
done
"$build_dir/apps/autopoll" --port "$workdir/ttyplain" 2>/dev/null & plain=\$!
"$build_dir/apps/autopoll" --port "$workdir/ttytrend" --trend 2>/dev/null & trend=\$!
"$build_dir/apps/autopoll" --port "$workdir/ttymarked" --trend 2>/dev/null & marked=\$!
${before_autopoll:+"$before_autopoll" --port "$workdir/ttybefore" --trend 2>/dev/null & before=\$!}
# Each trend where it overlaps no other: the plain one at (450, 0), beside
# its form, as the program puts it.
${before_autopoll:+xdotool windowmove --sync \$(xdotool search --sync --all --pid \$before --name trend | head -n 1) 1260 0}
# The third as a technician leaves it: marker A at a click, B at a
# shift-click 200 px to the right, S twice (shared, normalised, stacked),
# the mouse then moved off every window so that no hover box is drawn.
window=\$(xdotool search --sync --all --pid \$marked --name trend | head -n 1)
xdotool windowmove --sync \$window 450 440
sleep 12 # readings under both markers
xdotool windowfocus --sync \$window
xdotool mousemove --window \$window 300 220 click 1
xdotool mousemove --window \$window 500 220 keydown shift click 1 keyup shift
xdotool key s key s
xdotool mousemove 2090 890
sleep 1
# CPU of every thread, from the scheduler's statistics (ns on the CPU),
# counted from here, start-up left out; and utime + stime from the start
# (clock ticks), as measured before.
cpu() { cat /proc/\$1/task/*/schedstat | awk '{ ns += \$1 } END { printf "%d", ns }'; }
for name in \$names; do eval "start_\$name=\\\$(cpu \\\$\$name)"; done
sleep $seconds
${shot:+import -window root "$shot"}
for name in \$names; do
    pid=\$(eval echo \\\$\$name)
    echo "\$name \$(( \$(cpu \$pid) - \$(eval echo \\\$start_\$name) )) \$(awk '{print \$14 + \$15}' /proc/\$pid/stat)"
    kill \$pid
done
kill \$(jobs -p) 2>/dev/null || true
SH
xvfb-run -a -s "-screen 0 2100x900x24" bash "$workdir/side_by_side.sh" >"$workdir/cpu"
awk -v s="$seconds" -v hz="$(getconf CLK_TCK)" '{ cpu[$1] = $2 / 1e9; all[$1] = $3 / hz }
    function line(label, name) {
        if (name in cpu)
            printf "%-34s %7.2f s CPU in %d s  (%.2f times)   from start: %6.2f s  (%.2f times)\n",
                label, cpu[name], s, cpu[name] / cpu["plain"], all[name], all[name] / all["plain"]
    }
    END { line("autopoll", "plain"); line("autopoll --trend", "trend")
          line("autopoll --trend, markers, lanes", "marked"); line("autopoll --trend, before", "before") }' "$workdir/cpu"
echo "load average at the end (1, 5, 15 min): $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== the trend view's redraw (tools/trendbench)"
scripts/measure/bench_trend.sh
