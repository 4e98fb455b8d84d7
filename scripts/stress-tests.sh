#!/bin/sh
# Runs the whole 64-bit suite N times in a row (default 5) while a CPU hog,
# started and stopped here, keeps one core busy: no test may depend on how
# fast the machine is. One line a run, then the tally; exit 1 if any run
# had a failing test.
#   sh scripts/stress-tests.sh [N]
set -u
cd "$(dirname "$0")/.."
runs=${1:-5}
sh scripts/deps.sh g++-mingw-w64-x86-64-posix cmake ninja-build wine64 googletest || exit 2
{ cmake --preset win64 && cmake --build --preset win64; } >/dev/null || exit 2

sh -c 'while :; do :; done' &
hog=$!
trap 'kill $hog 2>/dev/null' EXIT
trap 'exit 130' INT TERM
passed=0
i=1
while [ $i -le "$runs" ]; do
    log=build/win64/stress-$i.log
    start=$(date +%s)
    if ctest --preset win64 >"$log" 2>&1; then
        passed=$((passed + 1))
    fi
    echo "run $i: $(grep -o '[0-9]*% tests passed, [0-9]* tests failed out of [0-9]*' "$log")" \
        "in $(($(date +%s) - start)) s ($log)"
    grep -E '^[[:space:]]*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Not Run)\)' "$log"
    i=$((i + 1))
done
echo "$passed of $runs runs passed every test, with one core kept busy"
[ "$passed" = "$runs" ]
