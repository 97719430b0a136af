#!/usr/bin/env bash
# The Windows build, made and tried on Linux: cross-builds the programs and
# the tests that need no pseudo-terminal with MinGW-w64 against the Qt for
# Windows in ../shared/toolchains, runs those tests under Wine, opens each
# program under Wine and Xvfb with COM1 on a simulated module, and packs
# polltools-<version>-win64.zip. Says it is skipped when there is no such Qt.
#   scripts/windows.sh            everything, into build-win/ (or $WIN_BUILD_DIR)
# Needs the Linux build (build/, or $BUILD_DIR) for modsim: the test command
# makes it first.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
toolchains=${POLL_TOOLCHAINS:-$source/../shared/toolchains}
archive=$toolchains/qt6.4.2-mingw64.tar.zst
if [ ! -f "$archive" ]; then
    echo "== Windows: skipped (no Qt for Windows at $archive)"
    exit 0
fi
started=${WINDOWS_STARTED:-$(date +%s)}
unset QT_QPA_PLATFORM # the Windows programs use Windows' own (the test command sets offscreen)
out=$(mkdir -p "${WIN_BUILD_DIR:-build-win}" && cd "${WIN_BUILD_DIR:-build-win}" && pwd)
linux_build=${BUILD_DIR:-build}

if [ -z "${WINDOWS_ON_XVFB:-}" ]; then
    echo "== Windows: the MinGW-w64 compilers, Wine, Xvfb and GoogleTest's source"
    scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine zstd xvfb xauth xdotool imagemagick \
        zip unzip googletest
    # The rest runs on an X server of its own: Wine shows the windows there.
    WINDOWS_ON_XVFB=1 WINDOWS_STARTED=$started exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi
linux_modsim=$linux_build/tools/modsim/modsim
[ -x "$linux_modsim" ] || BUILD_DIR=$linux_build scripts/build.sh --target modsim >/dev/null

# The Qt for Windows, unpacked once and pointed at where it now lives.
qt=$out/qt6-mingw
if [ ! -f "$qt/.unpacked" ] || [ "$archive" -nt "$qt/.unpacked" ]; then
    rm -rf "$qt"
    tar --zstd -xf "$archive" -C "$out"
    touch "$qt/.unpacked"
fi
"$qt/relocate.sh"
mingw_runtime=(/usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib)

echo "== Windows: GoogleTest for MinGW-w64, from /usr/src/googletest"
gtest=$out/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$out/googletest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$qt/toolchain-mingw64.cmake" -DCMAKE_INSTALL_PREFIX="$gtest" \
        -DBUILD_GMOCK=OFF >/dev/null
    cmake --build "$out/googletest-build" --target install >/dev/null
fi

echo "== Windows: cross-build of the programs and the tests"
build=$out/build
# ctest runs the tests through the emulator: Wine, with this Qt on the path.
"$qt/bin/qt-cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
    -DGTest_DIR="$gtest/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR="$source/scripts/wine-run.sh;$qt" >/dev/null
cmake --build "$build" -j "$(nproc)" >"$out/build.log" 2>&1 || { tail -50 "$out/build.log"; exit 1; }
grep -A3 'warning:' "$out/build.log" || true
# A user's Qt for Windows may lack Qt Test: the programs alone must not need it.
rm -rf "$out/without-qttest"
"$qt/bin/qt-cmake" -S . -B "$out/without-qttest" -G Ninja -DBUILD_TESTING=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Test=ON >"$out/without-qttest.log" 2>&1 ||
    { echo "Without Qt Test and BUILD_TESTING=OFF, the configure failed:"; tail -20 "$out/without-qttest.log"; exit 1; }
built=$(date +%s)

echo "== Windows: the zip"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
name=polltools-$version-win64
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
programs=(bytepoll autopoll textpoll polltrend pollcli)
# Copied without symbols or debug information (the MinGW runtime DLLs carry
# theirs: libstdc++-6.dll is 24 MB with it, 2 MB without).
strip_to() { x86_64-w64-mingw32-strip --strip-unneeded -o "$2" "$1"; }
for program in "${programs[@]}"; do
    strip_to "$build/$program.exe" "$stage/$program.exe"
done
strip_to "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/qwindows.dll"
strip_to "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/qwindowsvistastyle.dll"
# The DLLs the programs and plugins import, and those that these import in
# turn, from this Qt and the MinGW runtime; Windows' own DLLs stay out.
queue=("$stage"/*.exe "$stage"/*/*.dll)
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for dll in $(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$stage/$dll" ] && continue
        for dir in "$qt/bin" "${mingw_runtime[@]}"; do
            if [ -f "$dir/$dll" ]; then
                strip_to "$dir/$dll" "$stage/$dll"
                queue+=("$stage/$dll")
                break
            fi
        done
    done
done
sed 's/$/\r/' packaging/windows/README.txt > "$stage/README.txt"
(cd "$out" && zip -qrX "$name.zip" "$name")
echo "$name.zip: $(du -k "$out/$name.zip" | cut -f1) KiB, holding:"
unzip -Z1 "$out/$name.zip" | sed -n "s|^$name/\(.*[^/]\)$|  \1|p" | sort

echo "== Windows: the tests that need no pseudo-terminal, under Wine"
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
trap 'kill $(jobs -p) 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1
# Wine does not find its own fonts where Debian puts them. Without Tahoma,
# which Windows' dialog font "MS Shell Dlg" stands for, Qt falls back to the
# first family it finds (DejaVu Math TeX Gyre, where that is installed), and
# line edits then show no text at all.
cp -u /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
# Serial port 1 of the programs is COM1: Wine's COM1 is the simulator's link.
link=$out/com1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$link" /f >/dev/null
wineserver --wait
ctest --test-dir "$build" --output-on-failure -j 2
tested=$(date +%s)

echo "== Windows: each program from the unpacked zip, COM1 on modsim"
# From the unpacked zip, with no Qt on Wine's path: what it lacks fails here.
unset WINEPATH
rm -rf "$out/unpacked" "$out/tried"
mkdir -p "$out/unpacked" "$out/tried"
unzip -q "$out/$name.zip" -d "$out/unpacked"
failed=0
try_program() {
    local program=$1 address=$2 framing=$3 request=$4
    local log=$out/tried/$program.modsim.log
    rm -f "$link"
    "$linux_modsim" --link "$link" --address "$address" --framing "$framing" --log "$log" >/dev/null &
    local modsim=$!
    for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
    WINEDEBUG=+loaddll wine "$out/unpacked/$name/$program.exe" 2>"$out/tried/$program.wine.log" &
    local app=$!
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Form1$' | head -1) || true
    if [ -z "$window" ]; then
        echo "$program: no window within 60 s; Wine said:"
        tail -20 "$out/tried/$program.wine.log"
        failed=1
    else
        if [ "$program" != autopoll ]; then
            xdotool mousemove --window "$window" 276 20 click 1 # the start button
        fi
        sleep 5.5
        import -window "$window" "$out/tried/$program.png"
    fi
    kill $app; wait $app 2>/dev/null || true
    kill $modsim; wait $modsim 2>/dev/null || true
    # The requests: the right bytes, once a second.
    if ! want=$request awk -v name="$program" '
        BEGIN { want = ENVIRON["want"] }
        $2 == "rx" { line = $0; sub(/^[^ ]* rx /, "", line)
                     if (line != want) { printf "%s: sent %s, not %s\n", name, line, want; bad = 1 }
                     if (n++ == 0) first = $1
                     else if ($1 - last < 0.5 || $1 - last > 1.5) { printf "%s: %.3f s between requests\n", name, $1 - last; bad = 1 }
                     last = $1 }
        END { if (n < 4) { printf "%s: %d requests in 5 s\n", name, n; bad = 1 }
              else if ((last - first) / (n - 1) < 0.9 || (last - first) / (n - 1) > 1.1) {
                  printf "%s: %.3f s a request on average\n", name, (last - first) / (n - 1); bad = 1 }
              if (!bad) printf "%s: %d requests, %s, once a second\n", name, n, want
              exit bad }' "$log"; then
        failed=1
    fi
}
try_program bytepoll 67 rtu "43 04 00 00 00 08 FE EE"
try_program autopoll 68 rtu "44 04 00 00 00 08 FF 59"
try_program textpoll 67 ascii ':430400000008B1\r\n'
WINEDEBUG=+loaddll wine "$out/unpacked/$name/pollcli.exe" --version >/dev/null 2>"$out/tried/pollcli.wine.log"

# The programs loaded nothing from outside the zip but Windows' own DLLs, and
# every DLL in the zip is one that a program loaded.
paths=$(sed -n 's/.*Loaded L"\([^"]*\)".*/\1/p' "$out"/tried/*.wine.log | sed 's/\\\\/\\/g' | sort -u)
if grep -viF -e 'C:\windows\' -e "\\unpacked\\$name\\" <<< "$paths"; then
    echo "(loaded from outside the zip)"
    failed=1
fi
loaded=$(sed 's/.*\\//' <<< "$paths" | tr 'A-Z' 'a-z')
for dll in $(cd "$stage" && find . -name '*.dll' | sort); do
    if ! grep -qxF "$(basename "$dll" | tr 'A-Z' 'a-z')" <<< "$loaded"; then
        echo "$name.zip holds ${dll#./}, which no program loaded"
        failed=1
    fi
done
for program in bytepoll autopoll textpoll; do
    [ -s "$out/tried/$program.png" ] || { echo "no screenshot of $program"; failed=1; }
done
[ $failed -eq 0 ] || exit 1
echo "Screenshots: $out/tried/{bytepoll,autopoll,textpoll}.png"
echo "== Windows: passed in $(($(date +%s) - started)) s (built in $((built - started)) s, tests $((tested - built)) s)"
