#!/bin/sh
# start: one persistent Wine server for the test run, warmed up once.
# stop: shut it down and wait for it to go.
# Wine's background services inherit the stdio of whoever starts them, so
# both are detached from ctest's pipes or ctest would wait on them.
action=$1
run=$2
case "$action" in
  start)
    "$run" --server -k >/dev/null 2>&1
    "$run" --server -w >/dev/null 2>&1
    "$run" --server -p </dev/null >/dev/null 2>&1
    "$run" cmd /c exit </dev/null >/dev/null 2>&1
    ;;
  stop)
    "$run" --server -k >/dev/null 2>&1
    "$run" --server -w >/dev/null 2>&1
    ;;
esac
exit 0
