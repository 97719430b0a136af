#!/usr/bin/env bash
# Screenshots of each window for the README, taken under Xvfb against the
# simulated module: docs/screenshots/<program>.png.
#   scripts/screenshots.sh [program...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${SCREENSHOT_INNER:-}" ]; then
    # xvfb-run, import, xdotool and xwininfo
    scripts/deps.sh xvfb xauth imagemagick xdotool x11-utils
    scripts/build.sh >/dev/null
    exec env SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

build_dir=${BUILD_DIR:-build}
mkdir -p docs/screenshots
for program in "${@:-bytepoll autopoll textpoll polltrend}"; do
    for p in $program; do
        workdir=$(mktemp -d)
        if [ "$p" = polltrend ]; then
            # Two hours of a module warming up, a channel that jumps once, an
            # unplugged cable and a few failed checksums, drawn as a report would.
            python3 - "$workdir/values.csv" <<'PY'
import math, sys
with open(sys.argv[1], "w", newline="") as out:
    out.write("time,polls,errors,checksum_ok," + ",".join(f"ch{i}" for i in range(8)) + "\r\n")
    errors = 0
    for s in range(7200):
        if 3000 <= s < 3300:
            continue  # the cable pulled for five minutes
        ok = s % 997 != 0
        errors += not ok
        h, m, sec = 8 + s // 3600, s // 60 % 60, s % 60
        warm = 400 * (1 - math.exp(-s / 1500))
        values = [round(1200 + warm + 15 * math.sin(s / 90)), round(800 + 0.05 * s), 600 if s < 5000 else 250,
                  round(300 + 40 * math.sin(s / 400)), round(150 + 5 * math.sin(s / 30)), 1000, round(-200 + warm / 4), 0]
        out.write(f"2026-12-09T{h:02}:{m:02}:{sec:02}.000+01:00,{s + 1},{errors},{int(ok)},"
                  + ",".join(map(str, values)) + "\r\n")
PY
            "$build_dir/apps/polltrend" "$workdir/values.csv" --png docs/screenshots/polltrend.png --size 900x450
            rm -rf "$workdir"
            continue
        fi
        address=67; [ "$p" = autopoll ] && address=68
        framing=rtu; [ "$p" = textpoll ] && framing=ascii
        "$build_dir/tools/modsim/modsim" --framing $framing --address "$address" --link "$workdir/tty" \
            --values 235,-5,1200,-32768,0,1,-1,32767 --corrupt-every 3 >/dev/null &
        modsim=$!
        for _ in $(seq 100); do [ -e "$workdir/tty" ] && break; sleep 0.05; done
        COMM_PORT1="$workdir/tty" "$build_dir/apps/$p" &
        app=$!
        if [ "$p" != autopoll ]; then
            sleep 1
            xdotool mousemove 270 15 click 1 # the start button, the window at the origin
        fi
        sleep 4.5 # a few polls, so the counters show
        size=$(xwininfo -root -tree | awk '/"Form1"/ {print $(NF-1); exit}')
        import -window root -crop "${size%%+*}+0+0" "docs/screenshots/$p.png"
        kill $app $modsim; wait $app $modsim 2>/dev/null || true
        rm -rf "$workdir"
    done
done
