#!/usr/bin/env bash
# The Windows build, made and tried on Linux: cross-builds OpenSSL and
# libmosquitto from Debian's sources, then the programs and the tests that
# need no pseudo-terminal, with MinGW-w64 against the Qt for Windows in
# ../shared/toolchains; checks the programs' subsystem, icons and
# version resources, packs polltools-<version>-win64.zip and the installer
# polltools-<version>-win64-setup.exe from the same staged files, runs the
# tests under Wine, installs silently over an older version, opens each
# window program from the installed folder under Wine and Xvfb with COM1 on a
# simulated module, opens polltrend's window on a recording and draws its
# --png from a console, publishes from pollcli to Debian's mosquitto over mqtt://
# and mqtts://, and uninstalls silently. Says it is skipped when there is
# no such Qt.
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
    echo "== Windows: the MinGW-w64 compilers, Wine, Xvfb, NSIS, the icon tools and GoogleTest's source"
    scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 fonts-wine zstd xvfb xauth xdotool imagemagick \
        zip unzip googletest nsis icoutils librsvg2-bin make python3
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

echo "== Windows: OpenSSL and libmosquitto for MinGW-w64, from Debian's sources"
libraries_started=$(date +%s)
# The library alone, driven through its socket as on Linux (no threading: it
# would want pthreads-win32), with TLS from OpenSSL's libraries. Built once
# into build-win/deps and kept: a second run takes them as they are.
deps=$out/deps
openssl_root=$deps/openssl
mosquitto_root=$deps/mosquitto
kept=" (kept in $deps)"
if [ ! -f "$mosquitto_root/.built" ]; then
    kept=""
    rm -rf "$deps" && mkdir -p "$deps/sources"
    # Debian's source packages through an apt configuration of our own: the
    # machine's sources, lists and caches stay as they are. The newest
    # version in the lists first; a security update's index can name a
    # version whose files the mirror does not have yet.
    apt_dir=$deps/apt
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    cat > "$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $codename-security main
EOF
    apt_private=(-o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
                 -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User=root)
    apt-get -qq "${apt_private[@]}" update
    fetch_source() { # PACKAGE: unpacked, Debian's patches applied, into $deps/sources/PACKAGE
        local version
        for version in $(apt-cache "${apt_private[@]}" showsrc "$1" | sed -n 's/^Version: //p' | sort -urV); do
            rm -rf "$deps/fetch" && mkdir "$deps/fetch"
            if (cd "$deps/fetch" && apt-get -qq "${apt_private[@]}" source --download-only "$1=$version" >/dev/null 2>&1); then
                # apt checked the files against the archive's signed index; the
                # uploader's signature, whose key is not here, adds nothing.
                dpkg-source --no-check -x "$deps/fetch/$1_${version#*:}.dsc" "$deps/sources/$1" >/dev/null
                rm -rf "$deps/fetch"
                echo "$1 $version"
                return 0
            fi
        done
        echo "no source of $1 could be fetched from Debian"
        return 1
    }
    fetch_source openssl
    fetch_source mosquitto
    TIMEFORMAT='%R %U %S' # wall, user and system seconds
    # OpenSSL's libraries alone: no programs, tests or manuals.
    # The two DLLs and their import libraries are made, not the static
    # libraries beside them, which would compile every source twice (CPU
    # time 318 s instead of 166 s here). The folders built into libcrypto
    # (its configuration, engines and modules) are ones only an
    # administrator can write to: a build folder's path, \work\... on the
    # current drive, could be made by any user, with a configuration that
    # loads a DLL of theirs. (--openssldir relative to the prefix: one that
    # is not a Unix path is taken as relative anyway.)
    openssl_prefix="C:/Program Files/Poll tools"
    build_openssl() (
        cd "$deps/sources/openssl" &&
            ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- shared no-tests \
                --prefix="$openssl_prefix" --openssldir=ssl --libdir=lib &&
            make build_generated && make -j "$(nproc)" libcrypto.dll.a libssl.dll.a &&
            mkdir -p "$openssl_root/bin" "$openssl_root/lib" "$openssl_root/include/openssl" &&
            cp libcrypto-*.dll libssl-*.dll "$openssl_root/bin/" &&
            cp libcrypto.dll.a libssl.dll.a "$openssl_root/lib/" &&
            cp include/openssl/*.h "$openssl_root/include/openssl/"
    )
    { time build_openssl >"$deps/openssl.log" 2>&1; } 2>"$deps/openssl.time" ||
        { tail -30 "$deps/openssl.log"; exit 1; }
    # The toolchain looks for libraries under the MinGW-w64 root alone:
    # OpenSSL's folder becomes a root too.
    printf 'include(%s)\nlist(APPEND CMAKE_FIND_ROOT_PATH %s)\n' "$qt/toolchain-mingw64.cmake" "$openssl_root" \
        > "$deps/toolchain.cmake"
    build_mosquitto() {
        cmake -S "$deps/sources/mosquitto" -B "$deps/mosquitto-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$deps/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$mosquitto_root" \
            -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF \
            -DWITH_LIB_CPP=OFF -DWITH_CJSON=OFF -DWITH_THREADING=OFF -DWITH_TLS=ON -DOPENSSL_USE_STATIC_LIBS=OFF &&
            cmake --build "$deps/mosquitto-build" --target install &&
            # Its install rule leaves out the import library the programs link with.
            mkdir -p "$mosquitto_root/lib" && cp "$deps/mosquitto-build/lib/libmosquitto.dll.a" "$mosquitto_root/lib/"
    }
    { time build_mosquitto >"$deps/mosquitto.log" 2>&1; } 2>"$deps/mosquitto.time" ||
        { tail -30 "$deps/mosquitto.log"; exit 1; }
    unset TIMEFORMAT
    if strings -a "$openssl_root"/bin/*.dll "$mosquitto_root"/bin/*.dll | grep -F "$deps"; then
        echo "(a folder of the build, named in the DLLs above, where Windows would look for files)"
        exit 1
    fi
    strings -a "$openssl_root"/bin/libcrypto-*.dll | grep -xF "OPENSSLDIR: \"$openssl_prefix/ssl\"" >/dev/null ||
        { echo "libcrypto's configuration folder is not $openssl_prefix/ssl"; exit 1; }
    touch "$mosquitto_root/.built"
fi
for library in openssl mosquitto; do
    read -r wall user system < "$deps/$library.time"
    echo "$library: built in ${wall%.*} s (CPU ${user%.*} s user, ${system%.*} s system)$kept"
done
deps_bin=("$mosquitto_root/bin" "$openssl_root/bin")
libraries=$(date +%s)

echo "== Windows: cross-build of the programs and the tests"
build=$out/build
# ctest runs the tests through the emulator: Wine, with this Qt on the path.
"$qt/bin/qt-cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
    -DMOSQUITTO_ROOT="$mosquitto_root" \
    -DGTest_DIR="$gtest/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR="$source/scripts/wine-run.sh;$qt" >/dev/null
cmake --build "$build" -j "$(nproc)" >"$out/build.log" 2>&1 || { tail -50 "$out/build.log"; exit 1; }
# Beside the programs and the tests, where Windows looks first: the tests
# under Wine load libmosquitto and OpenSSL from there.
for dir in "$build" "$build/tests"; do
    cp -u "$mosquitto_root"/bin/*.dll "$openssl_root"/bin/*.dll "$dir/"
done
grep -A3 'warning:' "$out/build.log" || true
# A user's Qt for Windows may lack Qt Test: the programs alone must not need it.
rm -rf "$out/without-qttest"
"$qt/bin/qt-cmake" -S . -B "$out/without-qttest" -G Ninja -DBUILD_TESTING=OFF -DMOSQUITTO_ROOT="$mosquitto_root" \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Test=ON >"$out/without-qttest.log" 2>&1 ||
    { echo "Without Qt Test and BUILD_TESTING=OFF, the configure failed:"; tail -20 "$out/without-qttest.log"; exit 1; }
built=$(date +%s)

# The window programs that poll, from the list in apps/CMakeLists.txt;
# polltrend is a window program too, pollcli the console program.
mapfile -t window_programs < "$build/windows/window-programs.txt"
programs=("${window_programs[@]}" polltrend pollcli)
failed=0

echo "== Windows: subsystem, icon and version resource of each program"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
copyright=$(grep -m1 '^Copyright' LICENSE)
resources=$out/resources
rm -rf "$resources" && mkdir -p "$resources"
# A value of a version resource: the UTF-16 string after its key.
version_value() { strings -a -e l -n 2 "$1" | grep -A1 -x "$2" | tail -n +2; }
for program in "${programs[@]}"; do
    exe=$build/$program.exe
    subsystem=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))/\1/p')
    want="Windows CUI"
    [[ " ${window_programs[*]} polltrend " == *" $program "* ]] && want="Windows GUI"
    [ "$subsystem" = "$want" ] || { echo "$program.exe: subsystem $subsystem, not $want"; failed=1; }
    wrestool -x --raw --type=16 "$exe" > "$resources/$program.version"
    for pair in "FileVersion=$version" "ProductVersion=$version" "ProductName=Poll tools" "LegalCopyright=$copyright"; do
        value=$(version_value "$resources/$program.version" "${pair%%=*}")
        [ "$value" = "${pair#*=}" ] || { echo "$program.exe: ${pair%%=*} '$value', not '${pair#*=}'"; failed=1; }
    done
    [ -n "$(version_value "$resources/$program.version" FileDescription)" ] || { echo "$program.exe: no FileDescription"; failed=1; }
    line="$program.exe: $subsystem, Poll tools $version"
    if [ "$want" = "Windows GUI" ]; then
        # The icon: every size, and at 32 px this program's own SVG, not another's.
        wrestool -x --type=14 "$exe" > "$resources/$program.ico"
        sizes=$(icotool -l "$resources/$program.ico" | sed -n 's/.*--width=\([0-9]*\).*/\1/p' | sort -n | xargs)
        [ "$sizes" = "16 24 32 48 64 128 256" ] || { echo "$program.exe: icon sizes '$sizes'"; failed=1; }
        icotool -x -w 32 -o "$resources/$program-32.png" "$resources/$program.ico"
        rsvg-convert -w 32 -h 32 -o "$resources/$program-svg-32.png" "apps/share/$program.svg"
        [ "$(compare -metric AE "$resources/$program-32.png" "$resources/$program-svg-32.png" null: 2>&1)" = 0 ] ||
            { echo "$program.exe: its 32 px icon is not apps/share/$program.svg"; failed=1; }
        line+=", icon of ${sizes// /, } px"
    fi
    echo "$line"
done
[ $failed -eq 0 ] || exit 1

echo "== Windows: the zip"
name=polltools-$version-win64
stage=$out/$name
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/platforms" "$stage/styles"
# Copied without symbols or debug information (the MinGW runtime DLLs carry
# theirs: libstdc++-6.dll is 24 MB with it, 2 MB without).
# The first visible window whose name matches, within SECONDS, or nothing.
# xdotool exits at an X error, as when a window vanishes while it walks the
# tree (Wine makes and drops windows as a program starts): ask again then.
window_named() { # NAME_PATTERN SECONDS
    local found
    for _ in $(seq $(($2 * 4))); do
        found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) || true
        [ -n "$found" ] && { echo "$found"; return; }
        sleep 0.25
    done
}
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
        for dir in "$qt/bin" "${mingw_runtime[@]}" "${deps_bin[@]}"; do
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

echo "== Windows: the installer"
# The macros InstallFiles and RemoveFiles: each file staged in folder $1,
# installed and removed by name, and its folders last.
nsis_files() {
    local file dir
    echo '!macro InstallFiles'
    for file in $(cd "$1" && find . -type f | sed 's|^\./||' | sort); do
        dir=$(dirname "$file")
        [ "$dir" = . ] && dir="" || dir="\\${dir//\//\\}"
        echo "  SetOutPath \"\$INSTDIR$dir\""
        echo "  File \"$1/$file\""
    done
    echo '!macroend'
    echo '!macro RemoveFiles'
    for file in $(cd "$1" && find . -type f | sed 's|^\./||' | sort); do
        echo "  Delete \"\$INSTDIR\\${file//\//\\}\""
    done
    for dir in $(cd "$1" && find . -mindepth 1 -type d | sed 's|^\./||' | sort -r); do
        echo "  RMDir \"\$INSTDIR\\${dir//\//\\}\""
    done
    echo '!macroend'
}
nsis_files "$stage" > "$out/files.nsh"
setup=$out/$name-setup.exe
makensis -V2 -DFILES="$out/files.nsh" -DOUTFILE="$setup" "$build/windows/installer.nsi"
echo "$name-setup.exe: $(du -k "$setup" | cut -f1) KiB"
# An older version to upgrade from, holding a file that this one no longer
# has; packed faster, since only the upgrade is tried with it.
old=$out/old
rm -rf "$old" && mkdir -p "$old"
cp -r "$stage" "$old/stage"
cp "$stage/README.txt" "$old/stage/gone-in-$version.txt"
nsis_files "$old/stage" > "$old/files.nsh"
makensis -V2 -DVERSION=0.0 -DCOMPRESSOR=zlib -DFILES="$old/files.nsh" -DOUTFILE="$old/polltools-0.0-win64-setup.exe" \
    "$build/windows/installer.nsi"
packed=$(date +%s)

echo "== Windows: the tests that need no pseudo-terminal, under Wine"
# No Mono or Gecko, whose installers would ask, and no menu entries on the
# Linux desktop for the installed shortcuts.
export WINEPREFIX=$out/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
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
# One Wine server from here on, its own output in a log: Debian's dumps all
# its objects there, 30000 lines, when it gets a SIGHUP. Started, with Wine's
# own services (explorer, services, plugplay), before the tests: the first
# program after a cold start waits for them, 3 s here with the cores busy,
# and the tests must time the programs, not Wine's boot.
wineserver --wait
wineserver --persistent >"$out/wineserver.log" 2>&1
scripts/wine-run.sh "$qt" "$build/bytepoll.exe" --version >/dev/null
ctest --test-dir "$build" --output-on-failure -j 2
tested=$(date +%s)

echo "== Windows: the installer under Wine, silently over an older version"
unset WINEPATH # from the installed folder, with no Qt on Wine's path: what it lacks fails here
rm -rf "$out/tried" && mkdir -p "$out/tried"
installed="$WINEPREFIX/drive_c/Program Files/Poll tools"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Poll tools"
uninstall_keys='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# Left by a run that stopped half-way.
rm -rf "$installed" "$menu"
for key in $(wine reg query "$uninstall_keys" | tr -d '\r' | grep -i '\\polltools'); do wine reg delete "$key" /f >/dev/null; done
wine "$old/polltools-0.0-win64-setup.exe" /S
[ -f "$installed/gone-in-$version.txt" ] || { echo "the older version was not installed"; exit 1; }
wine "$setup" /S
# The installed apps: one entry named Poll tools, the older version's gone,
# and ours as Windows shows it.
entries=$(wine reg query "$uninstall_keys" /s | grep -cE '^ +DisplayName +REG_SZ +Poll tools.?$' || true)
[ "$entries" = 1 ] || { echo "$entries entries named Poll tools in the installed apps"; failed=1; }
entry=$(wine reg query "$uninstall_keys\\polltools" | tr -d '\r' | sed -n 's/^    \([^ ]*\)    REG_[A-Z]*    /\1=/p')
grep -vxF -f <(echo "$entry") <<< "DisplayName=Poll tools
DisplayVersion=$version
Publisher=${copyright#Copyright (c) [0-9]* }
DisplayIcon=C:\\Program Files\\Poll tools\\${window_programs[0]}.exe,0
QuietUninstallString=\"C:\\Program Files\\Poll tools\\uninstall.exe\" /S" | sed 's/^/installed apps entry lacks: /' | grep . && failed=1
size=$(sed -n 's/^EstimatedSize=//p' <<< "$entry")
[ $((size)) -gt 1024 ] || { echo "installed apps: size '$size'"; failed=1; }
# The files: the staged ones (the zip's too) and the uninstaller, the older
# version's own gone.
listing=$(cd "$installed" && find . -type f | sed 's|^\./||' | sort)
expected=$( (unzip -Z1 "$out/$name.zip" | sed -n "s|^$name/\(.*[^/]\)$|\1|p"; echo uninstall.exe) | sort)
if [ "$listing" != "$expected" ]; then
    echo "installed files differ from the zip's and the uninstaller (< installed, > expected):"
    diff <(echo "$listing") <(echo "$expected") || true
    failed=1
fi
for program in "${window_programs[@]}"; do
    strings -a -e l "$menu/$program.lnk" 2>/dev/null | grep -qiF "Poll tools\\$program.exe" ||
        { echo "no Start-menu shortcut that starts $program.exe"; failed=1; }
done
echo "Installed: $(wc -l <<< "$listing") files in C:\\Program Files\\Poll tools, shortcuts for ${window_programs[*]}" \
     "in the Start menu's Poll tools, one entry in the installed apps: Poll tools $version, $((size)) KiB"
# The Start-menu folder as Wine's Explorer shows it.
wine explorer 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Poll tools' &
explorer=$!
window=$(window_named 'Poll tools' 30)
if [ -n "$window" ]; then
    sleep 1
    import -window "$window" "$out/tried/start-menu.png"
else
    echo "Wine's Explorer showed no Start-menu folder within 30 s"; failed=1
fi
kill $explorer 2>/dev/null; wait $explorer 2>/dev/null || true
installed_at=$(date +%s)

echo "== Windows: each window program from the installed folder, COM1 on modsim"
# How each window program is tried: the module's address and framing,
# whether the start button (开始采集) is pressed, and the request that must
# reach the module once a second.
declare -A try_with=(
    [bytepoll]='67 rtu press 43 04 00 00 00 08 FE EE'
    [autopoll]='68 rtu - 44 04 00 00 00 08 FF 59'
    [textpoll]='67 ascii press :430400000008B1\r\n'
)
try_program() {
    local program=$1 address=$2 framing=$3 press=$4 request=$5
    local log=$out/tried/$program.modsim.log
    rm -f "$link"
    "$linux_modsim" --link "$link" --address "$address" --framing "$framing" --log "$log" >/dev/null &
    local modsim=$!
    for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
    WINEDEBUG=+loaddll wine "$installed/$program.exe" 2>"$out/tried/$program.wine.log" &
    local app=$!
    local window
    window=$(window_named '^Form1$' 60)
    if [ -z "$window" ]; then
        echo "$program: no window within 60 s; Wine said:"
        tail -20 "$out/tried/$program.wine.log"
        failed=1
    else
        [ "$press" = press ] && xdotool mousemove --window "$window" 276 20 click 1 # the start button
        # The window's icon as Wine hands it to X (width, height, ARGB pixels;
        # 32 px first), on white: the program's own, not Wine's default.
        xprop -id "$window" -notype 32c _NET_WM_ICON | sed 's/^[^=]*= //' | tr -d ' ' | tr ',' '\n' | awk '
            NR == 1 { w = $1 } NR == 2 { print "P3\n" w " " $1 "\n255"; n = w * $1 }
            NR > 2 && NR <= 2 + n { a = int($1 / 2^24) % 256; for (shift = 2^16; shift >= 1; shift /= 256)
                                        printf "%d ", (int($1 / shift) % 256 * a + 255 * (255 - a)) / 255; print "" }
        ' > "$out/tried/$program-window-icon.ppm"
        convert "$resources/$program-32.png" -background white -flatten "$out/tried/$program-icon.ppm"
        [ "$(compare -metric AE -fuzz 5% "$out/tried/$program-window-icon.ppm" "$out/tried/$program-icon.ppm" null: 2>&1)" = 0 ] ||
            { echo "$program: its window's icon is not its own"; failed=1; }
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
for program in "${window_programs[@]}"; do
    if [ -z "${try_with[$program]:-}" ]; then
        echo "$program: scripts/windows.sh does not say how to try it (try_with)"; failed=1; continue
    fi
    read -r address framing press request <<< "${try_with[$program]}"
    try_program "$program" "$address" "$framing" "$press" "$request"
done
echo "(Under Wine 8 no reply reaches the programs through COM1 on a pseudo-terminal: Qt's serial port" \
     "waits for a completion that Wine does not post for WaitCommEvent. The receive path is tried by" \
     "the scripted-comm tests above, not here.)"
for program in "${window_programs[@]}"; do
    [ -s "$out/tried/$program.png" ] || { echo "no screenshot of $program"; failed=1; }
done

echo "== Windows: polltrend.exe on a recording, in its window and with --png from a console"
# Two minutes of readings, as a poller records them.
{ printf 'time,polls,errors,checksum_ok,ch0,ch1,ch2,ch3,ch4,ch5,ch6,ch7\r\n'
  for i in $(seq 1 120); do
      printf '2026-12-09T08:%02d:%02d.000+01:00,%d,0,1,%d,2,3,4,5,6,7,8\r\n' $((i / 60)) $((i % 60)) $i $i
  done; } > "$out/tried/day.csv"
recording=$(winepath -w "$out/tried/day.csv")
before=$failed
WINEDEBUG=+loaddll wine "$installed/polltrend.exe" "$recording" 2>"$out/tried/polltrend.wine.log" &
app=$!
window=$(window_named '^polltrend' 60)
if [ -z "$window" ]; then
    echo "polltrend: no window within 60 s; Wine said:"; tail -20 "$out/tried/polltrend.wine.log"; failed=1
    kill $app 2>/dev/null || true
else
    sleep 2 # drawn
    import -window "$window" "$out/tried/polltrend.png"
    # Closed as by its close button: taskkill without /f asks its windows to close.
    wine taskkill /im polltrend.exe >/dev/null 2>&1
    for _ in $(seq 150); do kill -0 $app 2>/dev/null || break; sleep 0.1; done
    if kill -0 $app 2>/dev/null; then
        echo "polltrend: still running 15 s after its window was asked to close"; kill $app; failed=1
    fi
    wait $app && status=0 || status=$?
    [ $status -eq 0 ] || { echo "polltrend: exit status $status after its window closed"; failed=1; }
fi
# From cmd in a console, as from_console below does for the window programs.
rm -f "$out/tried/day-console.png"
# Quoted for the shell script(1) runs: the Windows paths hold backslashes.
shown=$(cd "$installed" && timeout 60 script -qec \
        "wine cmd /c polltrend.exe '$recording' --png '$(winepath -w "$out/tried/day-console.png")'" /dev/null |
        sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d ' \r') && status=0 || status=$?
# Compared without spaces: Wine's console moves the cursor for some.
[ $status -eq 0 ] && [[ $shown == *"polltrend:"*"day.csv:120rows"* ]] &&
    [ "$(head -c 4 "$out/tried/day-console.png" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 89504e47 ] ||
    { echo "polltrend --png in a console: status $status, a PNG or the rows' count missing; shown: $shown"; failed=1; }
[ $failed = "$before" ] && echo "polltrend: its window on a recording shown and closed (status 0); --png from a" \
    "console drew the PNG (status 0) and said there '$(grep -o 'polltrend:[^[:cntrl:]]*rows' <<< "$shown" | head -1)'"

echo "== Windows: pollcli.exe publishing to Debian's mosquitto on 127.0.0.1, COM1 on modsim"
# The broker on free ports of 127.0.0.1 with a password file, and for
# mqtts:// a certificate for 127.0.0.1 from a CA made here, which pollcli.exe
# is given with --publish-ca: Windows' OpenSSL reads no system store.
broker_dir=$out/tried/broker
mkdir -p "$broker_dir"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
plain=$(free_port) tls=$(free_port)
mosquitto_passwd -b -c "$broker_dir/passwords" station secret 2>/dev/null
printf 'secret\n' > "$broker_dir/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=poll trial CA" -keyout "$broker_dir/ca.key" \
    -out "$broker_dir/ca.crt" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" -addext subjectAltName=IP:127.0.0.1 \
    -CA "$broker_dir/ca.crt" -CAkey "$broker_dir/ca.key" -keyout "$broker_dir/server.key" \
    -out "$broker_dir/server.crt" 2>/dev/null
printf '%s\n' "user $(id -un)" "allow_anonymous false" "password_file $broker_dir/passwords" \
    "listener $plain 127.0.0.1" "listener $tls 127.0.0.1" "cafile $broker_dir/ca.crt" \
    "certfile $broker_dir/server.crt" "keyfile $broker_dir/server.key" > "$broker_dir/broker.conf"
mosquitto -c "$broker_dir/broker.conf" >"$broker_dir/broker.log" 2>&1 &
broker=$!
rm -f "$link"
"$linux_modsim" --link "$link" --address 67 >/dev/null &
modsim=$!
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
for _ in $(seq 100); do # the broker listens once it takes a message
    mosquitto_pub -h 127.0.0.1 -p "$plain" -u station -P secret -t trial/up -m up 2>/dev/null && break
    sleep 0.1
done
# NAME SCHEME PORT [ARGUMENT...]: what a subscriber got, on one line, while
# pollcli.exe polled COM1 for 3 s publishing to trial/NAME.
publish_trial() {
    local got=$out/tried/publish-$1.sub subscriber
    mosquitto_sub -h 127.0.0.1 -p "$plain" -u station -P secret -v -t "trial/$1/#" >"$got" &
    subscriber=$!
    for _ in $(seq 100); do # subscribed once a message of ours comes back (the broker up too)
        mosquitto_pub -h 127.0.0.1 -p "$plain" -u station -P secret -t "trial/$1/ready" -m ready 2>/dev/null
        grep -q "/ready " "$got" && break
        sleep 0.1
    done
    WINEDEBUG=+loaddll wine "$installed/pollcli.exe" --duration 3 --quiet --publish "$2://127.0.0.1:$3/trial/$1" \
        --publish-user station --publish-password-file "$(winepath -w "$broker_dir/password")" "${@:4}" \
        >/dev/null 2>"$out/tried/pollcli-publish-$1.wine.log" || true # status 1: no reply (Wine's limit)
    for _ in $(seq 20); do grep -q " offline$" "$got" && break; sleep 0.1; done
    kill $subscriber; wait $subscriber 2>/dev/null || true
    sed '/\/ready /d' "$got" | tr '\n' ' '
}
# Connected with the password; "online", then "offline" on a clean exit.
for scheme in mqtt mqtts; do
    port=$plain ca=()
    [ $scheme = mqtts ] && port=$tls ca=(--publish-ca "$(winepath -w "$broker_dir/ca.crt")")
    got=$(publish_trial $scheme $scheme "$port" "${ca[@]}")
    [ "$got" = "trial/$scheme/status online trial/$scheme/status offline " ] &&
        echo "$scheme://127.0.0.1:$port: connected with the password${ca:+ and the CA given}, online then offline" ||
        { echo "$scheme://127.0.0.1:$port: the subscriber got '$got', not online then offline"; failed=1; }
done
# Without --publish-ca no broker's certificate verifies: the same broker,
# refused in TLS. (A handshake that fails within the connect call is told
# as "A TLS error occurred", without OpenSSL's reason.)
got=$(publish_trial no-ca mqtts "$tls")
[ -z "$got" ] && grep -q "certificate verify failed\|A TLS error" "$out/tried/pollcli-publish-no-ca.wine.log" &&
    echo "mqtts://127.0.0.1:$tls without --publish-ca: refused in TLS, nothing published" ||
    { echo "mqtts://127.0.0.1:$tls without --publish-ca: the subscriber got '$got', or no TLS failure told"; failed=1; }
echo "(No reading is published under Wine: no reply reaches pollcli.exe through COM1, as above.)"
kill $modsim $broker; wait $modsim $broker 2>/dev/null || true
WINEDEBUG=+loaddll wine "$installed/pollcli.exe" --version >/dev/null 2>"$out/tried/pollcli.wine.log"

# The programs loaded nothing from outside the installed folder but Windows'
# own DLLs, and every DLL installed is one that a program loaded.
paths=$(sed -n 's/.*Loaded L"\([^"]*\)".*/\1/p' "$out"/tried/*.wine.log | sed 's/\\\\/\\/g' | sort -u)
if grep -viF -e 'C:\windows\' -e 'C:\Program Files\Poll tools\' <<< "$paths"; then
    echo "(loaded from outside the installed folder)"
    failed=1
fi
loaded=$(sed 's/.*\\//' <<< "$paths" | tr 'A-Z' 'a-z')
for dll in $(cd "$stage" && find . -name '*.dll' | sort); do
    if ! grep -qxF "$(basename "$dll" | tr 'A-Z' 'a-z')" <<< "$loaded"; then
        echo "$name holds ${dll#./}, which no program loaded"
        failed=1
    fi
done

echo "== Windows: autopoll started as from Explorer, with no console"
# start(1) starts a program as Explorer does; a console program would show
# its console window there beside its own.
wine start /unix "$installed/autopoll.exe" >/dev/null 2>&1
sleep 8
for _ in $(seq 8); do # (again at an X error, as in window_named)
    windows=$(xdotool search --onlyvisible --name '.' 2>/dev/null) && break
    sleep 0.5
done
[ "$(grep -c . <<< "$windows")" = 1 ] || { echo "autopoll: $(grep -c . <<< "$windows") windows, not its own alone"; failed=1; }
for window in $windows; do kill "$(xdotool getwindowpid "$window")" 2>/dev/null || true; done
[ "$(grep -c . <<< "$windows")" = 1 ] && echo "autopoll: one window, its own"

echo "== Windows: --help, --version and a usage error, from a console and from Explorer"
program=${window_programs[0]}
before=$failed
# From cmd in a console (script(1) gives Wine's console a terminal): printed
# there, among Wine's cursor movements, and the exit status kept.
from_console() { # ARGUMENT EXPECTED_STATUS EXPECTED_TEXT (compared without spaces)
    local shown status
    shown=$(cd "$installed" && timeout 60 script -qec "wine cmd /c $program.exe $1" /dev/null |
            sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d ' \r') && status=0 || status=$?
    [ $status -eq "$2" ] && [[ $shown == *"${3// /}"* ]] ||
        { echo "$program $1 in a console: exit status $status (not $2), '$3' not in: $shown"; failed=1; }
}
from_console --version 0 "$program $version"
from_console --bogus 2 "Unknown option 'bogus'"
# Once the window is open, a port fault still goes to that console.
shown=$(cd "$installed" && timeout 15 script -qec "wine cmd /c autopoll.exe --port COM9" /dev/null 2>/dev/null |
        sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d ' \r') || true
for window in $(xdotool search --onlyvisible --name '^Form1$' || true); do kill "$(xdotool getwindowpid "$window")" 2>/dev/null || true; done
[[ $shown == *autopoll:*COM9* ]] || { echo "autopoll in a console: no port fault naming COM9 in: $shown"; failed=1; }
# As from Explorer (start): no console nor standard handles, so the text is
# shown in a message box, and the same exit status follows its closing. The
# box for --help holds its 30 lines, far taller than the one for --version.
declare -A box_height
try_box() { # ARGUMENT EXPECTED_STATUS
    wine start /wait /unix "$installed/$program.exe" "$1" &
    local app=$! box status
    box=$(window_named "^$program\$" 30)
    [ -n "$box" ] || { echo "$program $1: no message box within 30 s"; failed=1; kill $app 2>/dev/null || true; return; }
    sleep 0.5
    import -window "$box" "$out/tried/$program$1.png"
    box_height[$1]=$(xwininfo -id "$box" | sed -n 's/^ *Height: //p')
    xdotool key --window "$box" Return 2>/dev/null # (Xvfb has no focus to report)
    wait $app && status=0 || status=$?
    [ $status -eq "$2" ] || { echo "$program $1: exit status $status, not $2"; failed=1; }
}
try_box --help 0
try_box --version 0
try_box --bogus 2
[ "${box_height[--help]:-0}" -gt $((${box_height[--version]:-0} + 200)) ] ||
    { echo "$program: a --help box ${box_height[--help]:-0} px high, --version's ${box_height[--version]:-0} px"; failed=1; }
[ $failed = "$before" ] && echo "$program: in a console, --version printed (status 0), --bogus's usage (2), autopoll's port fault;" \
    "from Explorer, message boxes ${box_height[--help]} px high for --help (0), ${box_height[--version]} px for --version (0)," \
    "${box_height[--bogus]} px for --bogus (2)"
tried=$(date +%s)

echo "== Windows: silent removal"
# The uninstaller runs from a copy of itself in the temporary folder, and
# this returns at once: the folder goes last but for the entry.
wine "$installed/uninstall.exe" /S
for _ in $(seq 120); do [ -e "$installed" ] || break; sleep 0.5; done
sleep 1
left=$(ls -d "$installed" "$menu" 2>/dev/null || true)
entries=$(wine reg query "$uninstall_keys" /s | grep -cE '^ +DisplayName +REG_SZ +Poll tools.?$' || true)
[ -z "$left" ] && [ "$entries" = 0 ] && echo "Removed: no installed folder, no Start-menu folder, no entry in the installed apps" ||
    { echo "left behind: ${left:-no folder}, $entries entries in the installed apps"; failed=1; }

[ $failed -eq 0 ] || exit 1
echo "Screenshots: $out/tried/{$(IFS=,; echo "${window_programs[*]}"),polltrend,start-menu,$program--help}.png"
done_at=$(date +%s)
echo "== Windows: passed in $((done_at - started)) s (built in $((built - started)) s, libmosquitto and OpenSSL" \
     "$((libraries - libraries_started)) s of them, checked and packed in" \
     "$((packed - built)) s, tests $((tested - packed)) s, installed $((installed_at - tested)) s, programs tried" \
     "$((tried - installed_at)) s, removed $((done_at - tried)) s)"
