#!/bin/sh
# Makes sure the Debian packages given as arguments are installed: installs
# them when run as root, otherwise prints the command to run and fails.
missing=""
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    sh "$(dirname "$0")/apt-update.sh" -qq || exit 1
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
    exit $?
fi
echo "Missing packages. Run this, then try again:" >&2
echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends$missing" >&2
exit 1
