#!/bin/sh
# Registry tree benchmark, end to end: builds the 64-bit benchmark, makes a
# disposable Wine prefix in the build tree, and for each hive size N writes
# N synthetic keys (3 values each) under HKLM\Software\CorvaneBench, and
# with N:W also one key there with W empty subkeys, and with N:W:SHAPES
# registry links of those shapes (up, twin, sibling, chain), then prints the tree
# size, the bare walk, the command fill (and how long its walker read) and
# the watcher's update after one added key (with the messages it sent the
# tree), for each the longest wait of a message sent to the window meanwhile
# (and to an idle window, for Wine's own stalls) and the children Windows'
# tree view would walk per insert; then a churn of a key added or deleted
# every 100 ms for 20 s, with Corvane's and Wine's server's share of a core
# and how long after the last change the tree matched the registry; then
# the memory per tree item, a quit during a refill while keys change, and
# the ratios.
# Exits non-zero when a run fails; the benchmark bounds its own waits, and a
# stuck Wine is cut off after 30 min (CORVANE_BENCH_TIMEOUT seconds, for an
# older build that rebuilds the whole tree on every change).
# Usage: scripts/bench-registry.sh [N[:W[:SHAPE,...]] ...]   (default: 20000:20000)
#   e.g. scripts/bench-registry.sh 20000 200000
# CORVANE_BENCH_BUILDS="dir ..." builds and runs, for each N, the
# corvane_bench.exe of each of those configured build folders in turn (say,
# an older commit's and this one's), each on a fresh copy of the same hive:
# before and after in one run. Without it, build/win64 is the one.
set -e
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build/win64
sizes=${*:-20000:20000}

[ -n "$CORVANE_BENCH_BUILDS" ] || [ -f "$build/build.ninja" ] ||
    cmake --preset win64 -S "$src" -B "$build" >/dev/null
for dir in ${CORVANE_BENCH_BUILDS:-$build}; do
    cmake --build "$dir" --target corvane_bench resource_dll >/dev/null
done
mkdir -p "$build"

export WINEPREFIX=$build/benchprefix
. "$src/scripts/wine-env.sh"
wine=$WINE64

if [ ! -f "$WINEPREFIX/.corvane-ready" ]; then
    echo "Creating the benchmark prefix $WINEPREFIX"
    wine_make_prefix "$WINEPREFIX" bench
    cp "$WINEPREFIX/system.reg" "$WINEPREFIX/system.reg.pristine"
fi

first=
for n in $sizes; do
    for dir in ${CORVANE_BENCH_BUILDS:-$build}; do
        wine_server_stop
        # Written straight into the hive file while no server runs: creating
        # 200,000 keys through the registry calls takes many minutes under Wine.
        cp "$WINEPREFIX/system.reg.pristine" "$WINEPREFIX/system.reg"
        python3 - "$WINEPREFIX/system.reg" "$n" <<'PY'
import sys
path, size = sys.argv[1], sys.argv[2].split(":")
n, w = int(size[0]), int(size[1]) if len(size) > 1 and size[1] else 0
shapes = size[2].split(",") if len(size) > 2 else []
root = "Software\\\\CorvaneBench"
def link(f, key, target):
    data = ("\\Registry\\Machine\\" + target).encode("utf-16-le")
    f.write("\n[%s\\\\%s] 1796649129\n#link\n\"SymbolicLinkValue\"=hex(6):%s\n"
            % (root, key, ",".join("%02x" % b for b in data)))
with open(path, "a") as f:
    # Links: one back to a far ancestor, two back to their own key, one to
    # a sibling, and two to the next key at each of 24 levels.
    if "up" in shapes:
        link(f, "X\\\\Up\\\\Top", "Software")
    if "twin" in shapes:
        link(f, "Twin\\\\A", "Software\\CorvaneBench\\Twin")
        link(f, "Twin\\\\B", "Software\\CorvaneBench\\Twin")
    if "sibling" in shapes:
        link(f, "ToG0000", "Software\\CorvaneBench\\G0000")
    if "chain" in shapes:
        for k in range(24):
            for name in "AB":
                link(f, "Chain\\\\N%02d\\\\%s" % (k, name),
                     "Software\\CorvaneBench\\Chain\\N%02d" % (k + 1))
        f.write("\n[%s\\\\Chain\\\\N24] 1796649129\n\"Leaf\"=\"\"\n" % root)
    for k in range(n):
        f.write('\n[Software\\\\CorvaneBench\\\\G%04d\\\\K%06d] 1796649129\n'
                '"Name"="key %d"\n"Size"=dword:%08x\n"Path"="C:\\\\bench\\\\%d"\n'
                % (k // 100, k, k, k, k))
    for k in range(w):
        f.write('\n[Software\\\\CorvaneBench\\\\Wide\\\\W%06d] 1796649129\n' % k)
PY
        wine_server_start
        # This prefix's server, for its CPU time: other prefixes may have theirs.
        CORVANE_WINESERVER_PID=
        for pid in $(pgrep -x 'wineserver(32|64)?' || true); do
            # A server may end meanwhile: its environ is gone.
            if cat "/proc/$pid/environ" 2>/dev/null | tr '\0' '\n' | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
                CORVANE_WINESERVER_PID=$pid
            fi
        done
        export CORVANE_WINESERVER_PID
        # Into a file, not a pipe: Wine's services would hold a pipe open.
        status=0
        # A hive with links of its own makes the bare walk read links as themselves.
        links=
        case "$n" in *:*:?*) links=links ;; esac
        (cd "$dir" && timeout ${CORVANE_BENCH_TIMEOUT:-1800} $wine ./corvane_bench.exe "N=$n" $links </dev/null >bench.out 2>&1) ||
            status=$?
        line=$(tr -d '\r' <"$dir/bench.out")
        [ -z "$CORVANE_BENCH_BUILDS" ] || echo "($dir)"
        echo "$line"
        if [ "$status" != 0 ]; then
            echo "bench-registry: N=$n failed (exit $status)" >&2
            wine_server_stop
            exit 1
        fi
        fill=$(echo "$line" | sed -n 's/.*command fill \([0-9.]*\) s.*/\1/p')
        # Two builds' fills on one size say more than one build's across sizes.
        [ -z "$CORVANE_BENCH_BUILDS" ] || continue
        if [ -z "$first" ]; then
            first=$fill
            firstn=$n
        else
            echo "command fill N=$n / N=$firstn: $(echo "$fill $first" | awk '{printf "%.2f", $1 / $2}')"
        fi
    done
done
wine_server_stop
