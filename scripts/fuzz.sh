#!/bin/sh
# Builds the libFuzzer targets natively (clang, ASan, UBSan) and runs each for
# the given number of seconds (default 600), one after another (JOBS=2 for
# two at a time). Crashes and the inputs that caused them land in
# build/native/fuzz-<target>/.
set -e
cd "$(dirname "$0")/.."
seconds=${1:-600}
sh scripts/deps.sh clang-14 libclang-rt-14-dev cmake ninja-build googletest
cmake --preset native-sanitize >/dev/null
cmake --build --preset native-sanitize
status=0
run() {
    dir="build/native/fuzz-$1"
    mkdir -p "$dir/corpus"
    (cd "$dir" && ../$1 -max_total_time="$seconds" -print_final_stats=1 corpus \
        >log.txt 2>&1) || { echo "$1: FAILED (see $dir/log.txt)"; return 1; }
    echo "$1: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$dir/log.txt" |
        grep -o '[0-9]*$') runs, no crash"
}
set -- fuzz_environment fuzz_cmdline fuzz_multistring fuzz_format fuzz_records fuzz_compare
while [ $# -gt 0 ]; do
    run "$1" & a=$!
    b=""
    if [ "${JOBS:-1}" -gt 1 ] && [ $# -gt 1 ]; then shift; run "$1" & b=$!; fi
    wait $a || status=1
    [ -n "$b" ] && { wait $b || status=1; }
    shift
done
exit $status
