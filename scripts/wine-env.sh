#!/bin/sh
# The one place that knows how Corvane runs Wine. Every script that runs Wine
# sources it (test, run, screenshot, bench, the 32-bit check, and the CTest
# wrapper build/*/wine-run.sh); run directly, it makes a prefix:
#
#   sh scripts/wine-env.sh make-prefix DIR KIND
#
# KIND is one of
#   test   null display driver, the test drives, a UTF-16 win.ini and a
#          lean hive: Wine's class registrations (CLSID, Interface, TypeLib,
#          MIME) and its telephony country list, two thirds of HKLM, are left
#          out, so a registry fill is quick, on the emulated 32-bit build too.
#          Nothing Corvane or its tests use needs them. CORVANE_PREFIX_WOW64=1
#          adds the 32-bit part.
#   bench  null display driver and Wine's whole hive.
#   run    a plain prefix, for a real (or virtual) display.
#
# Sourcing it sets WINESERVER, WINEDEBUG, WINEDLLOVERRIDES and, with the
# 32-bit root in use, QEMU_LD_PREFIX, and defines wine_server_start and
# wine_server_stop for the WINEPREFIX in force.

WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
# Where scripts/wine32-root.sh puts 32-bit Wine when the machine has no
# wine32:i386; qemu, which runs it, looks there first while it is linked in.
WINE32_ROOT=/opt/corvane-i386
if [ -e "$WINE32_ROOT/.corvane-root" ] && [ "$(readlink "$WINE32" 2>/dev/null)" = "$WINE32_ROOT/usr/lib/wine/wine" ]; then
    export QEMU_LD_PREFIX="$WINE32_ROOT"
fi
export WINESERVER=/usr/lib/wine/wineserver
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine reads Unix text, a drive's .windows-label among it, in the locale's
# character set, and in the POSIX locale's keeps 7 bits of each byte.
[ "$(locale charmap 2>/dev/null)" = UTF-8 ] || export LC_ALL=C.UTF-8
# No Mono or Gecko install prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="

# One server for a whole run, warmed up once, so each Wine process starts in
# a fraction of a second. Wine's background services inherit the stdio of
# the process that starts them, and whoever reads our output would wait on
# them until they end: start both detached.
wine_server_start() {
    wine_server_stop
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1
    return 0
}

wine_server_stop() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w >/dev/null 2>&1 || true
    return 0
}

wine_make_prefix() {
    _dir=$1
    _kind=$2
    case "$_kind" in test | bench | run) ;; *)
        echo "wine-env.sh: unknown prefix kind '$_kind'" >&2
        return 2
        ;;
    esac
    (
        set -e
        export WINEPREFIX="$_dir"
        wine_server_stop
        rm -rf "$_dir"
        mkdir -p "$_dir"
        boot="'$WINE64' wineboot -i </dev/null >/dev/null 2>&1"
        if [ "$_kind" != run ]; then
            # Windows, menus, boxes and timers work with no X server at all.
            boot="$boot && '$WINE64' reg add 'HKCU\\Software\\Wine\\Drivers' /v Graphics /d null /f \
                </dev/null >/dev/null 2>&1"
        fi
        if [ "$_kind" = test ]; then
            # Drive types for the drive table's test drives (below).
            boot="$boot && '$WINE64' reg add 'HKLM\\Software\\Wine\\Drives' /v e: /d cdrom /f \
                </dev/null >/dev/null 2>&1 && '$WINE64' reg add 'HKLM\\Software\\Wine\\Drives' \
                /v n: /d network /f </dev/null >/dev/null 2>&1"
        fi
        boot="$boot && '$WINESERVER' -w"
        # With 32-bit Wine installed, making a prefix also runs a 32-bit step
        # under emulation (minutes); as root, hide that loader unless the
        # prefix must run 32-bit programs.
        if [ -e "$WINE32" ] && [ "$(id -u)" = 0 ] && [ "${CORVANE_PREFIX_WOW64:-0}" != 1 ] &&
            command -v unshare >/dev/null; then
            unshare -m --propagation private sh -c "mount --bind /dev/null $WINE32 && $boot"
        else
            sh -c "$boot"
        fi
        if [ "$_kind" = test ]; then
            # Written into the hive file while no server runs.
            awk '/^\[/ { k = tolower($0)
                          skip = k ~ /^\[software\\\\(wow6432node\\\\)?classes\\\\(wow6432node\\\\)?(clsid|interface|typelib|mime)(\\\\|\])/ ||
                                 k ~ /^\[software\\\\(wow6432node\\\\)?microsoft\\\\windows\\\\currentversion\\\\telephony(\\\\|\])/ }
                 !skip' "$_dir/system.reg" >"$_dir/system.reg.lean"
            mv "$_dir/system.reg.lean" "$_dir/system.reg"
            # d: a plain folder with a label, e: a CD-ROM, n: a network drive,
            # u: a folder whose label no 8-bit code page holds whole. Wine
            # reads drives and labels when its server starts, and none runs yet.
            for d in d e n u; do
                mkdir -p "$_dir/drives/$d"
                ln -sfn "../drives/$d" "$_dir/dosdevices/$d:"
            done
            printf 'CORVDATA\n' >"$_dir/drives/d/.windows-label"
            printf 'Grüße Мир 漢字\n' >"$_dir/drives/u/.windows-label"
            # win.ini in UTF-16, as Windows keeps one that holds names outside
            # the code page: the profile calls keep a file's encoding, and an
            # 8-bit win.ini loses such a name before any program reads it.
            ini="$_dir/drive_c/windows/win.ini"
            { printf '\377\376'; iconv -f WINDOWS-1252 -t UTF-16LE "$ini"; } >"$ini.utf16"
            mv "$ini.utf16" "$ini"
        fi
        touch "$_dir/.corvane-ready"
    )
}

# Run, not sourced.
case "$0" in *wine-env.sh) ;; *) return 0 ;; esac
if [ "${1:-}" = make-prefix ]; then
    [ $# = 3 ] || {
        echo "usage: sh scripts/wine-env.sh make-prefix DIR test|bench|run" >&2
        exit 2
    }
    wine_make_prefix "$2" "$3"
    exit $?
fi
