#!/bin/sh
# Builds Corvane and starts it under Wine. With no display, it starts a
# virtual one, opens the window, saves a screenshot, prints its path and exits.
set -e
cd "$(dirname "$0")/.."
root=$(pwd)
pkgs="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix cmake ninja-build wine64 googletest"
[ -z "$DISPLAY" ] && pkgs="$pkgs xvfb xauth x11-utils imagemagick"
sh scripts/deps.sh $pkgs

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvane resource_dll
exe="$root/build/win64/Corvane.exe"

if [ -n "$DISPLAY" ]; then
    sh scripts/xshot.sh --prefix-only ""
    export WINEPREFIX="$root/build/win64/run-prefix"
    . scripts/wine-env.sh
    exec "$WINE64" "$exe" "$@"
fi
sh scripts/xshot.sh "$exe" "$root/build/screenshot.png" "$@"
echo "No display: Corvane ran under a virtual one. Screenshot: $root/build/screenshot.png"
