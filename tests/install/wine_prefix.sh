#!/usr/bin/env bash
# Creates (setup) or stops (cleanup) the Wine prefix that the installation tests share, so a
# test run pays Wine's slow first start once. Without Wine there is nothing to do.
#
# usage: wine_prefix.sh setup|cleanup <prefix-directory>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

action=${1:-}
prefix=${2:-}
[[ -n $prefix ]] || { echo "usage: $0 setup|cleanup <prefix-directory>" >&2; exit 2; }
if ! find_wine_loaders; then
  echo "Wine or its 64-bit loader is not installed; the tests that run programs under it skip that part"
  exit 0
fi

use_wine_prefix "$prefix"
case $action in
  setup)
    # A first boot now and then fails at once ("could not load kernel32.dll") while another
    # prefix is being made; a second one, in a fresh prefix, does not.
    for attempt in 1 2; do
      rm -rf "$prefix"
      status=0
      timeout 600 "$WINE64" wineboot -i >"$prefix.log" 2>&1 || status=$?
      ((status == 0)) && break
      wineserver -k >/dev/null 2>&1 || true
    done
    if ((status != 0)); then
      echo "wineboot failed with $status:" >&2
      tail -20 "$prefix.log" >&2
      exit 1
    fi
    wineserver -w
    echo "Wine prefix ready in $prefix"
    ;;
  cleanup)
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$prefix" "$prefix.log"
    ;;
  *)
    echo "usage: $0 setup|cleanup <prefix-directory>" >&2
    exit 2
    ;;
esac
