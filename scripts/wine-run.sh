#!/usr/bin/env bash
# Runs a Windows program under Wine, with the Qt for Windows and the MinGW-w64
# runtime on its DLL path, in the Wine prefix beside that Qt (made on first use).
#   wine-run.sh QT_FOR_WINDOWS PROGRAM.exe [ARGUMENT...]
set -euo pipefail
qt=$1
shift
export WINEPREFIX=${WINEPREFIX:-$(dirname "$qt")/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: nothing here needs .NET or HTML, and their installers would ask.
export WINEDLLOVERRIDES="mscoree=;mshtml="
winpath() { printf 'Z:%s' "${1//\//\\}"; }
export WINEPATH="$(winpath "$qt/bin");$(winpath /usr/lib/gcc/x86_64-w64-mingw32/12-posix);$(winpath /usr/x86_64-w64-mingw32/lib)"
exec wine "$@"
