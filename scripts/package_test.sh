#!/usr/bin/env bash
# Builds the Debian package, has lintian check it (any error or warning not
# overridden in the package fails), checks that its dependencies resolve here,
# unpacks it into a scratch root, checks its contents, and runs the installed
# autopoll (offscreen) against the installed modsim until its first reply is
# decoded and shown, recording it, and the installed polltrend draws that
# recording into an image.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
(cd "$build_dir" && cpack -G DEB >/dev/null)
package=$(ls -t "$build_dir"/polltools_*.deb | head -1)
echo "package: $package"
dpkg-deb --field "$package" Depends

command -v lintian >/dev/null || scripts/deps.sh
# A tag to be kept goes into the package itself, where lintian reads it:
# usr/share/lintian/overrides/polltools, each override after a comment giving
# its reason.
status=0
report=$(lintian --fail-on error,warning "$package" 2>&1) || status=$?
grep -v "running with root privileges" <<<"$report" || true
[ "$status" -eq 0 ] || { echo "package_test: lintian fails the package" >&2; exit 1; }

apt-get install -s -qq "./$package" >/dev/null || { echo "package_test: dependencies do not resolve" >&2; exit 1; }

root=$(mktemp -d)
modsim="" # set once it runs; the trap may fire before that
trap '[ -z "$modsim" ] || kill "$modsim" 2>/dev/null || true; rm -rf "$root"' EXIT
dpkg-deb -x "$package" "$root"
programs=(bytepoll autopoll textpoll polltrend pollcli modsim)
files=(usr/share/applications/{bytepoll,autopoll,textpoll,polltrend}.desktop
       usr/share/icons/hicolor/scalable/apps/{bytepoll,autopoll,textpoll,polltrend}.svg
       usr/share/doc/polltools/{copyright,changelog.gz})
for program in "${programs[@]}"; do
    files+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
done
for file in "${files[@]}"; do
    [ -e "$root/$file" ] || { echo "package_test: $file is missing" >&2; exit 1; }
done
for program in "${programs[@]}"; do
    file "$root/usr/bin/$program" | grep -q ", stripped" \
        || { echo "package_test: usr/bin/$program is not stripped" >&2; exit 1; }
done
changelog_version=$(zcat "$root/usr/share/doc/polltools/changelog.gz" | dpkg-parsechangelog -l- -S Version)
package_version=$(dpkg-deb --field "$package" Version)
[ "$changelog_version" = "$package_version" ] \
    || { echo "package_test: the changelog's last entry is $changelog_version, the package $package_version" >&2; exit 1; }
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
    timeout 20 "$root/usr/bin/autopoll" --record "$root/values.csv" 2>"$log" &
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

"$root/usr/bin/polltrend" "$root/values.csv" --png "$root/values.png" 2>/dev/null \
    && file "$root/values.png" | grep -q "PNG image data, 1200 x 600" \
    || { echo "package_test: the installed polltrend drew no image of the recording" >&2; exit 1; }
echo "package_test: the installed polltrend drew the recording"
