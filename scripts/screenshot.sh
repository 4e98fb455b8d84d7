#!/bin/sh
# Remakes the README's screenshots: Corvane at start, and with every view filled.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh xvfb xauth x11-utils imagemagick
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvane resource_dll corvane_demo
sh scripts/xshot.sh build/win64/Corvane.exe docs/screenshot-empty.png
rm -f build/demo-ready
READY=build/demo-ready sh scripts/xshot.sh build/win64/corvane_demo.exe docs/screenshot.png 20 \
    build/demo-ready
echo "docs/screenshot-empty.png docs/screenshot.png"
