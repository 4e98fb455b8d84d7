#!/bin/sh
# Builds the release from scratch and packs it:
#   dist/corvane-<version>-win32.zip  (the product, i686)
#   dist/corvane-<version>-win64.zip  (x86_64)
# each holding Corvane.exe, RESOURCE.DLL, README.md and LICENSE.
#
# Two runs on the same commit give byte-identical zips: the PE files carry no
# link timestamps, and the archive has sorted names, fixed dates and modes.
#   CORVANE_PACKAGE_BUILD  build folder (default build/package; emptied first)
#   CORVANE_DIST           output folder (default dist)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_PACKAGE_BUILD:-$root/build/package}
dist=${CORVANE_DIST:-$root/dist}
cd "$root"

version=$(sed -n 's/^#define CORVANE_VERSION_TEXT "\([0-9.]*\)".*/\1/p' res/version.h)
[ -n "$version" ] || { echo "package.sh: no version in res/version.h" >&2; exit 1; }
for f in README.md LICENSE; do
    [ -f "$f" ] || { echo "package.sh: $f is missing" >&2; exit 1; }
done
if git rev-parse --git-dir >/dev/null 2>&1; then
    [ -z "$(git status --porcelain --untracked-files=no)" ] ||
        echo "package.sh: warning: uncommitted changes go into this package" >&2
    # Anything that stamps a date (compiler __DATE__, tools) takes the commit's.
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
else
    SOURCE_DATE_EPOCH=0
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C

rm -rf "$build"
mkdir -p "$dist"
for arch in win32 win64; do
    echo "== building $arch"
    cmake --preset $arch -B "$build/$arch" -DCORVANE_TESTS=OFF >/dev/null
    cmake --build "$build/$arch" --target Corvane resource_dll
    zip="$dist/corvane-$version-$arch.zip"
    python3 - "$zip" "$build/$arch/Corvane.exe" "$build/$arch/RESOURCE.DLL" README.md LICENSE <<'PY'
import os, sys, zipfile
out, files = sys.argv[1], sorted(sys.argv[2:], key=os.path.basename)
tmp = out + ".tmp"
with zipfile.ZipFile(tmp, "w") as z:
    for path in files:
        info = zipfile.ZipInfo(os.path.basename(path), date_time=(1980, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3  # Unix, so the mode below is read
        info.external_attr = 0o100644 << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
os.replace(tmp, out)
PY
    echo "== $zip"
done
cd "$dist" && sha256sum "corvane-$version-win32.zip" "corvane-$version-win64.zip"
