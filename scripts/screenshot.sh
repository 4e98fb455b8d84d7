#!/bin/sh
# Remakes the README's screenshots: Corvane at start, with every view filled,
# and filled at 150 %.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh xvfb xauth x11-utils imagemagick
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvane resource_dll corvane_demo
sh scripts/xshot.sh build/win64/Corvane.exe docs/screenshot-empty.png
rm -f build/demo-ready
READY=build/demo-ready sh scripts/xshot.sh build/win64/corvane_demo.exe docs/screenshot.png 20 \
    build/demo-ready
# At 150 % on a screen 1.5 times as large.
rm -f build/demo-ready
CORVANE_DPI=144 CORVANE_SCREEN=1536x1152 READY=build/demo-ready \
    sh scripts/xshot.sh build/win64/corvane_demo.exe docs/screenshot-150.png 20 build/demo-ready
echo "docs/screenshot-empty.png docs/screenshot.png docs/screenshot-150.png"
