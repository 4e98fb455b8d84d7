#!/bin/sh
# Makes a root of 32-bit Wine and the i386 libraries it needs, for qemu to
# look in (QEMU_LD_PREFIX), and links its loader where 64-bit Wine starts
# 32-bit programs from (/usr/lib/wine/wine). Run as root by test-win32.sh.
#
#   sh scripts/wine32-root.sh DIR
#
# Why not wine32:i386 from apt: multiarch needs each i386 library at the
# very version of its amd64 twin, often a bookworm-security one, so one bad
# i386 security index (a mirror mid-sync) stops the whole install. The root
# is resolved on its own by apt, from the Debian release and its updates on
# the machine's own mirror, signatures checked as usual, and unpacked without
# touching dpkg's database or the machine's i386 libraries.
set -u
dir=${1:?usage: sh scripts/wine32-root.sh DIR}
state=$dir.apt # outside the root: qemu must not find apt's files there

fail() {
    echo "wine32-root.sh: $*" >&2
    exit 2
}

# Wine's 32-bit half must be the build of its 64-bit half.
version=$(dpkg-query -W -f '${Version}' wine64 2>/dev/null)
[ -n "$version" ] || fail "wine64 is not installed"

if [ -e "$dir/.corvane-root" ] && [ "$(cat "$dir/.corvane-root")" = "$version" ]; then
    echo "== reusing the 32-bit Wine root $dir ($version)"
else
    echo "== making the 32-bit Wine root $dir (wine32 $version)"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    root=$(cd "$(dirname "$0")/.." && pwd)
    mirror=$(sh "$root/scripts/debian-mirror.sh") || fail "cannot make the i386 sources"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    signed=
    [ -e $keyring ] && signed="[signed-by=$keyring] "
    rm -rf "$dir" "$state"
    mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/sources.list.d" \
        "$state/preferences.d" || fail "cannot make $state"
    : >"$state/status"
    printf 'deb %s%s %s main\ndeb %s%s %s-updates main\n' "$signed" "$mirror" "$codename" \
        "$signed" "$mirror" "$codename" >"$state/sources.list"
    set -- -q -o APT::Architecture=i386 -o APT::Architectures=i386 \
        -o Dir::State="$state" -o Dir::State::Lists="$state/lists" \
        -o Dir::State::status="$state/status" -o Dir::Cache="$state" \
        -o Dir::Cache::Archives="$state/archives" -o Dir::Etc::SourceList="$state/sources.list" \
        -o Dir::Etc::SourceParts="$state/sources.list.d" \
        -o Dir::Etc::Preferences="$state/preferences" \
        -o Dir::Etc::PreferencesParts="$state/preferences.d" -o APT::Install-Recommends=0
    sh "$root/scripts/apt-update.sh" "$@" || fail "apt-get update of the i386 lists failed"
    DEBIAN_FRONTEND=noninteractive apt-get "$@" install -y --download-only \
        "wine32=$version" "libwine=$version" || fail "cannot fetch wine32 $version for i386"
    mkdir -p "$dir" || fail "cannot make $dir"
    for deb in "$state"/archives/*.deb; do
        dpkg-deb -x "$deb" "$dir" || fail "cannot unpack $deb"
    done
    # libwine's own set-up makes Wine's builtin zlib1.dll of mingw's.
    dpkg-deb -e "$(ls "$state"/archives/libwine_*.deb)" "$state/libwine" &&
        sed "s|/usr/|$dir/usr/|g" "$state/libwine/postinst" | sh -s configure ||
        fail "cannot set up libwine in the root"
    # qemu finds a file the root has, but a folder's stat sees the running
    # system's, so the loader's search of its folders fails: a cache of its
    # own names each library's file.
    printf 'include /etc/ld.so.conf.d/*.conf\n' >"$dir/etc/ld.so.conf" &&
        ldconfig -r "$dir" || fail "cannot make the root's library cache"
    # qemu looks a path up in the root first: no folder of the running
    # system (the server's socket in /tmp, the prefix) may be shadowed.
    for top in "$dir"/* "$dir"/.[!.]*; do
        case "${top##*/}" in usr | lib | lib32 | bin | sbin | etc | '.[!.]*') ;; *) rm -rf "$top" ;; esac
    done
    [ -x "$dir/usr/lib/wine/wine" ] && [ -e "$dir/lib/ld-linux.so.2" ] ||
        fail "the root has no 32-bit Wine loader or no i386 ld.so"
    rm -rf "$state/archives"
    printf '%s\n' "$version" >"$dir/.corvane-root"
fi

# 64-bit Wine starts 32-bit programs with the loader beside its own.
if [ "$(readlink /usr/lib/wine/wine 2>/dev/null)" != "$dir/usr/lib/wine/wine" ]; then
    [ ! -e /usr/lib/wine/wine ] || [ -L /usr/lib/wine/wine ] ||
        fail "/usr/lib/wine/wine is another 32-bit Wine; remove it or use that one"
    ln -sfn "$dir/usr/lib/wine/wine" /usr/lib/wine/wine || fail "cannot link /usr/lib/wine/wine"
fi
exit 0
