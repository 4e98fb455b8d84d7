#!/bin/sh
# xshot.sh EXE PNG [ARGS...]: runs a Windows program under Wine on a virtual
# display, waits for the Corvane window, saves a screenshot of the screen to
# PNG and ends the program. Uses the run prefix in build/win64/run-prefix.
# With READY set to a file name, waits for the program to create that file.
# CORVANE_DPI sets the display's DPI (default 96; 144 is 150 %) and
# CORVANE_SCREEN the screen's size (default 1024x768).
set -e
exe=$1
shot=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="$root/build/win64/run-prefix"
. "$root/scripts/wine-env.sh"
if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    echo "Creating a Wine prefix for Corvane in $WINEPREFIX"
    wine_make_prefix "$WINEPREFIX" run
fi
# Wine reads the DPI as each process starts: set it every time, then start
# afresh.
"$WINE64" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
    /d "${CORVANE_DPI:-96}" /f </dev/null >/dev/null 2>&1
wine_server_stop
[ "$exe" = --prefix-only ] && exit 0

screen=${CORVANE_SCREEN:-1024x768}
display=:87
Xvfb $display -screen 0 "${screen}x24" -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wine_server_stop' EXIT
export DISPLAY=$display
sleep 1
# A Wine desktop of its own draws the window frame (there is no window manager).
"$WINE64" explorer /desktop=Corvane,"$screen" "$exe" "$@" </dev/null >/dev/null 2>&1 &
for i in $(seq 1 60); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Corvane"' && break
    sleep 1
done
if [ -n "$READY" ]; then
    for i in $(seq 1 120); do [ -e "$READY" ] && break; sleep 1; done
fi
sleep 3 # let the first paints and the buttons land
import -window root "$shot"
