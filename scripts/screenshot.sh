#!/bin/sh
# Remakes the README's screenshots: Corvane at start, and with every view filled.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh xvfb xauth x11-utils imagemagick
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvane resource_dll corvane_demo
sh scripts/xshot.sh build/win64/Corvane.exe docs/screenshot-empty.png
sh scripts/xshot.sh build/win64/corvane_demo.exe docs/screenshot.png 15
echo "docs/screenshot-empty.png docs/screenshot.png"
