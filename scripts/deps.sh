#!/usr/bin/env bash
# Installs the Debian 12 packages the build, tests and packaging need, and any
# further ones named (scripts/deps.sh clang), where missing,
# creates the de_DE.UTF-8 locale the tests use, and the fonts the windows need (Chinese captions, the symbols ␍␊) where
# none that has them is installed.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-serialport-dev qt6-svg-dev libgl-dev
    qt6-tools-dev qt6-l10n-tools
    libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
    ser2net
    libgtest-dev fontconfig clang-format
    dpkg-dev desktop-file-utils lintian file
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
# Without such a font the captions (模块地址：...) show as boxes.
if ! command -v fc-list >/dev/null || [ -z "$(fc-list :lang=zh family 2>/dev/null)" ]; then
    missing+=(fonts-wqy-microhei)
fi
# textpoll shows the CR LF ending a request or reply as the symbols ␍␊.
if ! command -v fc-list >/dev/null || [ -z "$(fc-list ':charset=240d 240a' family 2>/dev/null)" ]; then
    missing+=(fonts-symbola)
fi
# ReadNumber's test reads numbers under a decimal-comma locale; localedef
# needs the locale sources of the locales package.
need_locale=false
if ! locale -a 2>/dev/null | grep -Eix 'de_DE\.utf-?8' >/dev/null; then
    need_locale=true
    dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q 'ok installed' || missing+=(locales)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if $need_locale; then
    echo "Creating the de_DE.UTF-8 locale"
    $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
