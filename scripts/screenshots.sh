#!/usr/bin/env bash
# Screenshots of each window for the README, taken under Xvfb against the
# simulated module: docs/screenshots/<program>.png.
#   scripts/screenshots.sh [program...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${SCREENSHOT_INNER:-}" ]; then
    for tool in xvfb-run import xdotool xwininfo; do
        command -v $tool >/dev/null || {
            apt-get install -y -qq --no-install-recommends xvfb xauth imagemagick xdotool x11-utils >/dev/null
            break
        }
    done
    scripts/build.sh >/dev/null
    exec env SCREENSHOT_INNER=1 xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

build_dir=${BUILD_DIR:-build}
mkdir -p docs/screenshots
for program in "${@:-bytepoll autopoll textpoll}"; do
    for p in $program; do
        workdir=$(mktemp -d)
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
