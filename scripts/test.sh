#!/bin/sh
# Builds the 64-bit test build from scratch and runs every test under Wine
# (headless, in a disposable prefix inside build/win64).
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix cmake ninja-build \
    wine64 googletest
cmake --workflow --preset test
