#!/bin/sh
# Runs the whole test suite on the 32-bit product, in one Wine process, and
# then the name tests in the twin built without the UTF-8 code page.
#
# This kernel cannot execute 32-bit Linux programs, so 32-bit Wine runs under
# qemu user emulation registered with binfmt_misc. It takes the qemu of
# bookworm-backports (10.x): under bookworm's own 7.2 every 32-bit process
# needs about a minute to start, and a process that holds a suspended thread
# (Corvane's registry watcher before first use) hangs for good in the first
# drive query. Sets up what it needs (i386 Wine, qemu, binfmt_misc), so it
# must run as root.
#
#   scripts/test-win32.sh [gtest options, e.g. --gtest_filter='MainWindow.*']
#
# The options go to the whole suite; the twin runs the name tests the build
# lists (name-tests.filter, from tests/CMakeLists.txt).
#
# CORVANE_WIN32_BUILD: build folder (default build/win32).
# CORVANE_WIN32_TIMEOUT: seconds each of the two runs may take (default 900).
# CORVANE_REUSE_PREFIX=1: keep the Wine prefix of an earlier run (default is a
# fresh one).
# Exit code: 0 if every test passed, 1 if a test failed, 2 if set-up failed,
# 3 if this machine cannot run 32-bit programs at all (not root, or no
# binfmt_misc to hand them to qemu).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_WIN32_BUILD:-$root/build/win32}
qemu=/usr/bin/qemu-i386

fail() {
    echo "test-win32.sh: $*" >&2
    exit 2
}
cannot() {
    echo "test-win32.sh: $*" >&2
    exit 3
}

[ "$(id -u)" = 0 ] || cannot "must run as root: it makes a root of 32-bit Wine in /opt, installs qemu-user (bookworm-backports) and registers qemu for i386 programs with binfmt_misc"

installed() {
    dpkg-query -W -f '${Status}\n' "$1" 2>/dev/null | grep -q 'install ok installed'
}
# qemu-user of 9.1 or later carries the static emulators.
qemu_ok() {
    installed qemu-user && [ -x $qemu ] &&
        dpkg --compare-versions "$(dpkg-query -W -f '${Version}' qemu-user)" ge 1:9.1
}

# 32-bit Wine: the machine's own wine32:i386 if it has one, else a root of
# its own that qemu looks in first.
. "$root/scripts/wine-env.sh"
if ! installed wine32:i386; then
    sh "$root/scripts/wine32-root.sh" "$WINE32_ROOT" || fail "cannot make the 32-bit Wine root"
    . "$root/scripts/wine-env.sh"
    [ "${QEMU_LD_PREFIX:-}" = "$WINE32_ROOT" ] || fail "the 32-bit Wine root is not in use"
fi

# The emulator it runs under. Only amd64 lists are needed here: an i386
# index the mirror serves mid-sync must not fail it.
if ! qemu_ok; then
    echo "== installing qemu-user from bookworm-backports"
    amd64="-q -o APT::Architectures=amd64"
    # Backports from the same mirror as the machine's own Debian entry.
    sh "$root/scripts/apt-update.sh" $amd64 || fail "apt-get update failed"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    if ! apt-get indextargets --format '$(RELEASE)' | grep -qx "$codename-backports"; then
        mirror=$(sh "$root/scripts/debian-mirror.sh") || fail "cannot add $codename-backports"
        printf 'deb %s %s-backports main\n' "$mirror" "$codename" \
            >/etc/apt/sources.list.d/corvane-backports.list || fail "cannot add $codename-backports"
        sh "$root/scripts/apt-update.sh" $amd64 || fail "apt-get update failed"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get $amd64 install -y --no-install-recommends \
        -t "$codename-backports" qemu-user || fail "could not install qemu-user from bookworm-backports"
    qemu_ok || fail "qemu-user 9.1 or later is needed ($qemu)"
fi

# Let the kernel hand i386 ELF programs to that qemu (an older registration,
# e.g. bookworm's qemu-i386-static, is replaced).
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
    mount -t binfmt_misc binfmt_misc $binfmt || cannot "cannot mount binfmt_misc on $binfmt"
fi
if ! grep -qsx "interpreter $qemu" $binfmt/qemu-i386; then
    echo "== registering $qemu for i386 programs"
    [ -e $binfmt/qemu-i386 ] && { echo -1 >$binfmt/qemu-i386 || fail "cannot drop the old qemu-i386 entry"; }
    printf '%s\n' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
        >$binfmt/register || cannot "cannot register qemu-i386 with binfmt_misc"
fi
grep -qs '^enabled' $binfmt/status || cannot "binfmt_misc is disabled ($binfmt/status)"
grep -qs '^enabled' $binfmt/qemu-i386 || fail "the qemu-i386 entry of binfmt_misc is disabled"

# The 32-bit build, tests included.
echo "== building the win32 preset in $build"
cd "$root" || fail "no source tree at $root"
cmake --preset win32 -B "$build" >/dev/null || fail "configure failed"
cmake --build "$build" || fail "build failed"

# A disposable 64-bit prefix of its own (the 32-bit programs run in its WoW64
# part) and one Wine server for the run.
export WINEPREFIX="$build/wineprefix-suite"
# The tests' own kind of prefix (drives, null display driver, lean hive),
# with its 32-bit part: without it syswow64 stays empty and no 32-bit program
# can start ("could not load kernel32.dll").
# CORVANE_REUSE_PREFIX=1 keeps a complete prefix from an earlier run.
wine_server_stop
if [ "${CORVANE_REUSE_PREFIX:-0}" = 1 ] && [ -e "$WINEPREFIX/.corvane-wow64" ]; then
    echo "== reusing the Wine prefix $WINEPREFIX"
else
    echo "== creating the Wine prefix $WINEPREFIX"
    start=$(date +%s)
    CORVANE_PREFIX_WOW64=1 wine_make_prefix "$WINEPREFIX" test ||
        fail "cannot create the Wine prefix"
    [ -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
        fail "the prefix has no 32-bit part (syswow64/kernel32.dll missing)"
    touch "$WINEPREFIX/.corvane-wow64"
    echo "== prefix ready after $(($(date +%s) - start)) s"
fi
trap wine_server_stop EXIT
trap 'exit 130' INT TERM
wine_server_start

echo "== running corvane_tests.exe (i686) under 32-bit Wine"
cd "$build" || exit 2
start=$(date +%s)
# A hung test must not hold CI forever.
timeout -k 30 "${CORVANE_WIN32_TIMEOUT:-900}" "$WINE32" ./corvane_tests.exe "$@"
rc=$?
[ $rc = 124 ] && echo "== timed out after ${CORVANE_WIN32_TIMEOUT:-900} s"
echo "== 32-bit suite exit code $rc after $(($(date +%s) - start)) s"

# The same names in the system's code page, 1252, as Windows before 10 1903
# runs the program.
echo "== running corvane_tests_cp1252.exe (i686), the name tests without the UTF-8 code page"
start=$(date +%s)
timeout -k 30 "${CORVANE_WIN32_TIMEOUT:-900}" "$WINE32" ./corvane_tests_cp1252.exe \
    --gtest_filter="$(cat name-tests.filter)"
rc_cp1252=$?
[ $rc_cp1252 = 124 ] && echo "== timed out after ${CORVANE_WIN32_TIMEOUT:-900} s"
echo "== 32-bit name tests in code page 1252 exit code $rc_cp1252 after $(($(date +%s) - start)) s"
[ $rc = 0 ] && [ $rc_cp1252 = 0 ] || exit 1
exit 0
