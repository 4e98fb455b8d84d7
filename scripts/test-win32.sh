#!/bin/sh
# Runs the whole test suite on the 32-bit product, in one Wine process.
#
# This kernel cannot execute 32-bit Linux programs, so 32-bit Wine runs under
# qemu user emulation registered with binfmt_misc. Each 32-bit process costs
# about a minute of emulator start-up, hence one process for the whole suite.
# Sets up what it needs (i386 Wine, qemu, binfmt_misc), so it must run as root.
#
#   scripts/test-win32.sh [gtest options, e.g. --gtest_filter='MainWindow.*']
#
# CORVANE_WIN32_BUILD: build folder (default build/win32).
# CORVANE_WIN32_TIMEOUT: seconds the suite may take (default 1800).
# CORVANE_REUSE_PREFIX=1: keep the Wine prefix of an earlier run (saves the
# minutes its creation takes under emulation; default is a fresh one).
# Exit code: 0 if every test passed, 1 if a test failed, 2 if set-up failed.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_WIN32_BUILD:-$root/build/win32}

fail() {
    echo "test-win32.sh: $*" >&2
    exit 2
}

[ "$(id -u)" = 0 ] || fail "must run as root: it installs wine32:i386 and qemu-user-static and registers qemu for i386 programs with binfmt_misc"

# 32-bit Wine and the emulator it runs under.
missing=
for pkg in wine32:i386 qemu-user-static; do
    dpkg-query -W -f '${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $pkg"
done
if [ -n "$missing" ]; then
    echo "== installing$missing"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ||
        fail "dpkg --add-architecture i386 failed"
    apt-get update -q || fail "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing ||
        fail "could not install$missing"
fi

# Let the kernel hand i386 ELF programs to qemu.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
    mount -t binfmt_misc binfmt_misc $binfmt || fail "cannot mount binfmt_misc on $binfmt"
fi
if ! grep -qs 'interpreter /usr/bin/qemu-i386-static' $binfmt/*; then
    echo "== registering qemu-i386-static for i386 programs"
    printf '%s\n' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >$binfmt/register || fail "cannot register qemu-i386 with binfmt_misc"
fi
grep -qs '^enabled' $binfmt/status || fail "binfmt_misc is disabled ($binfmt/status)"

# The 32-bit build, tests included.
echo "== building the win32 preset in $build"
cd "$root" || fail "no source tree at $root"
cmake --preset win32 -B "$build" >/dev/null || fail "configure failed"
cmake --build "$build" || fail "build failed"

# A disposable 64-bit prefix of its own (the 32-bit programs run in its WoW64
# part) and one Wine server for the run.
export WINEPREFIX="$build/wineprefix-suite"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINESERVER=/usr/lib/wine/wineserver
# The tests' own prefix set-up (tests/make-prefix.sh: drives, null display
# driver), with its 32-bit part: without it syswow64 stays empty and no 32-bit
# program can start ("could not load kernel32.dll"). Minutes under emulation.
# CORVANE_REUSE_PREFIX=1 keeps a complete prefix from an earlier run.
"$WINESERVER" -k >/dev/null 2>&1
if [ "${CORVANE_REUSE_PREFIX:-0}" = 1 ] && [ -e "$WINEPREFIX/.corvane-wow64" ]; then
    echo "== reusing the Wine prefix $WINEPREFIX"
else
    echo "== creating the Wine prefix $WINEPREFIX (minutes under emulation)"
    start=$(date +%s)
    CORVANE_PREFIX_WOW64=1 sh "$root/tests/make-prefix.sh" "$WINEPREFIX" ||
        fail "cannot create the Wine prefix"
    [ -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
        fail "the prefix has no 32-bit part (syswow64/kernel32.dll missing)"
    touch "$WINEPREFIX/.corvane-wow64"
    echo "== prefix ready after $(($(date +%s) - start)) s"
fi
stop_server() {
    "$WINESERVER" -k >/dev/null 2>&1
    "$WINESERVER" -w >/dev/null 2>&1
}
trap stop_server EXIT
trap 'exit 130' INT TERM
# Background services inherit the stdio of whoever starts them: start them
# detached, and with the fast 64-bit loader.
"$WINESERVER" -p </dev/null >/dev/null 2>&1
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1

echo "== running corvane_tests.exe (i686) under 32-bit Wine; the emulator needs a minute to start"
cd "$build" || exit 2
start=$(date +%s)
# A hung test must not hold CI forever.
timeout -k 30 "${CORVANE_WIN32_TIMEOUT:-1800}" /usr/lib/wine/wine ./corvane_tests.exe "$@"
rc=$?
[ $rc = 124 ] && echo "== timed out after ${CORVANE_WIN32_TIMEOUT:-1800} s"
echo "== 32-bit suite exit code $rc after $(($(date +%s) - start)) s"
[ $rc = 0 ] || exit 1
exit 0
