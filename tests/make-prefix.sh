#!/bin/sh
# Creates the disposable Wine prefix the tests run in: a fresh 64-bit prefix
# with the null display driver, so windows work without an X server.
set -e
prefix=$1
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINESERVER=/usr/lib/wine/wineserver

"$WINESERVER" -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$prefix"

boot='/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 &&
      /usr/lib/wine/wine64 reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f \
          </dev/null >/dev/null 2>&1 &&
      /usr/lib/wine/wine64 reg add "HKLM\\Software\\Wine\\Drives" /v e: /d cdrom /f \
          </dev/null >/dev/null 2>&1 &&
      /usr/lib/wine/wine64 reg add "HKLM\\Software\\Wine\\Drives" /v n: /d network /f \
          </dev/null >/dev/null 2>&1 &&
      /usr/lib/wine/wineserver -w'

# With 32-bit Wine installed, prefix creation would also run a 32-bit step
# under emulation (slow); as root, hide that loader just for this. A prefix
# that must run 32-bit programs (CORVANE_PREFIX_WOW64=1) needs that step.
if [ -e /usr/lib/wine/wine ] && [ "$(id -u)" = 0 ] && [ "${CORVANE_PREFIX_WOW64:-0}" != 1 ] &&
    command -v unshare >/dev/null; then
    unshare -m --propagation private sh -c "mount --bind /dev/null /usr/lib/wine/wine && $boot"
else
    sh -c "$boot"
fi

# Test drives for the drive table: d: a plain folder with a label, e: a
# CD-ROM and n: a network drive (types from HKLM\Software\Wine\Drives).
# Wine reads drives when its server starts, and none runs yet.
for d in d e n; do
    mkdir -p "$prefix/drives/$d"
    ln -sfn "../drives/$d" "$prefix/dosdevices/$d:"
done
printf 'CORVDATA\n' >"$prefix/drives/d/.windows-label"

touch "$prefix/.corvane-ready"
