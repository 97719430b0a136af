#!/usr/bin/env bash
# Builds the Debian package, checks that its dependencies resolve here,
# unpacks it into a scratch root, and runs the installed autopoll (offscreen)
# against the installed modsim until its first reply is decoded and shown.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
(cd "$build_dir" && cpack -G DEB >/dev/null)
package=$(ls -t "$build_dir"/polltools_*.deb | head -1)
echo "package: $package"
dpkg-deb --field "$package" Depends

apt-get install -s -qq "./$package" >/dev/null || { echo "package_test: dependencies do not resolve" >&2; exit 1; }

root=$(mktemp -d)
modsim="" # set once it runs; the trap may fire before that
trap '[ -z "$modsim" ] || kill "$modsim" 2>/dev/null || true; rm -rf "$root"' EXIT
dpkg-deb -x "$package" "$root"
for file in usr/bin/bytepoll usr/bin/autopoll usr/bin/textpoll usr/bin/modsim \
            usr/share/applications/{bytepoll,autopoll,textpoll}.desktop \
            usr/share/icons/hicolor/scalable/apps/{bytepoll,autopoll,textpoll}.svg; do
    [ -e "$root/$file" ] || { echo "package_test: $file is missing" >&2; exit 1; }
done
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root"/usr/share/applications/*.desktop
fi

link="$root/ttyPKG$$"
"$root/usr/bin/modsim" --address 68 --link "$link" >/dev/null &
modsim=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "package_test: the installed modsim did not create $link within 5 s" >&2; exit 1; }
log="$root/autopoll.err"
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="poll.timing.comm.debug=true" COMM_PORT1="$link" \
    timeout 20 "$root/usr/bin/autopoll" 2>"$log" &
app=$!
for _ in $(seq 200); do grep -q "reply-to-screen" "$log" && break; sleep 0.05; done
kill $app 2>/dev/null || true
if grep -q "reply-to-screen" "$log"; then
    echo "package_test: the installed autopoll decoded a reply from the installed modsim"
else
    echo "package_test: no reply decoded; autopoll said:" >&2
    cat "$log" >&2
    exit 1
fi
