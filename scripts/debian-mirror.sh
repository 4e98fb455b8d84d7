#!/bin/sh
# Prints the mirror of the machine's own Debian entry in apt's sources, so
# what the set-up adds comes from where the machine already installs from.
# apt lists the entries it knows only after an update.
#   sh scripts/debian-mirror.sh
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
mirror=$(apt-get indextargets --format '$(REPO_URI)' "Release: $codename" \
    'Component: main' 'Identifier: Packages' | head -n 1)
if [ -z "$mirror" ]; then
    echo "debian-mirror.sh: no Debian $codename entry in apt's sources to take the mirror from" >&2
    exit 1
fi
echo "$mirror"
