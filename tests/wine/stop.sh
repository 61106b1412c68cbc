#!/usr/bin/env bash
# Ends a Wine test run: stops the server of the run's prefix and removes the prefix.
#
# usage: stop.sh <state-dir>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

STATE=$(realpath -m "${1:?state directory}")
if [[ -d $STATE/prefix ]] && command -v wineserver >/dev/null 2>&1; then
  WINEPREFIX=$STATE/prefix wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$STATE/prefix wineserver -w >/dev/null 2>&1 || true
fi
[[ -n ${TARVISK_KEEP_WORK:-} ]] || rm -rf "$STATE/prefix"
echo "PASS: Wine stopped"
