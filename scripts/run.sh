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

export WINEPREFIX="$root/build/win64/run-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    echo "Creating a Wine prefix for Corvane in $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    boot="/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1; /usr/lib/wine/wineserver -w"
    # With 32-bit Wine installed, hide its loader while booting (much faster).
    if [ -e /usr/lib/wine/wine ] && [ "$(id -u)" = 0 ]; then
        unshare -m --propagation private sh -c "mount --bind /dev/null /usr/lib/wine/wine && $boot"
    else
        sh -c "$boot"
    fi
    touch "$WINEPREFIX/.corvane-ready"
fi

exe="$root/build/win64/Corvane.exe"
if [ -n "$DISPLAY" ]; then
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi

shot="$root/build/screenshot.png"
display=:87
Xvfb $display -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; /usr/lib/wine/wineserver -k 2>/dev/null' EXIT
export DISPLAY=$display
sleep 1
# A Wine desktop of its own draws the window frame (there is no window manager).
/usr/lib/wine/wine64 explorer /desktop=Corvane,1024x768 "$exe" "$@" </dev/null >/dev/null 2>&1 &
for i in $(seq 1 60); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Corvane"' && break
    sleep 1
done
sleep 2 # let the first paints and the buttons land
import -window root "$shot"
echo "No display: Corvane ran under a virtual one. Screenshot: $shot"
