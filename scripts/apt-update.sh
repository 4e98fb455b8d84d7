#!/bin/sh
# apt-get update with the given options, tried up to ten times a minute
# apart: a mirror part-way through a sync fails it for a while.
#   sh scripts/apt-update.sh [-q|-qq]
tries=1
until apt-get update "$@"; do
    [ $tries -lt 10 ] || exit 1
    echo "apt-get update failed; trying again in 60 s ($tries of 9)" >&2
    tries=$((tries + 1))
    sleep 60
done
