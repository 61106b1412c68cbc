# Helpers for the installation tests: reading a resource back with an independent reader and
# running Windows programs under Wine, on top of the helpers all suites share.
# Sourced by the test scripts; every check ends the test with a message on failure.
# shellcheck shell=bash

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
# No REQUIRED_SWITCH: a missing tool skips these tests even in CI.

PRIVATE_WINE=

on_exit() {
  if [[ -n $PRIVATE_WINE ]]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  remove_scratch
}

# A private scratch directory, removed at exit unless TARVISK_KEEP_WORK is set.
enter_workdir() {
  enter_scratch "${TMPDIR:-/tmp}/tarvisk-install.XXXXXX"
  trap on_exit EXIT
}

# The bytes stored at type 24, name 1, language 0 of image $1, in upper-case hex, as
# llvm-readobj reads them; empty when there is no such entry.
manifest_hex() {
  local image=$1
  "$READOBJ" --coff-resources "$image" >readobj.out 2>readobj.err ||
    fail "llvm-readobj cannot read $image: $(cat readobj.err)"
  resource_rows readobj.out |
    awk -F'|' '!found && $1 ~ /\(ID 24\)/ && $2 ~ /\(ID 1\)/ && $3 ~ /\(ID 0\)/ { printf "%s", $6; found = 1 }'
}

# Fails unless image $1 holds exactly the bytes of manifest $2 at type 24, name 1, language 0.
check_manifest_in() {
  local image=$1 manifest=$2 got
  got=$(manifest_hex "$image")
  [[ -n $got ]] || fail "$image has no resource at type 24, name 1, language 0"
  [[ $got == "$(hex_of "$manifest")" ]] ||
    fail "$image: the manifest resource does not hold the bytes of $manifest"
}

# Wine, when installed: sets its loaders (see find_wine_loaders) and a prefix. The prefix is
# $TARVISK_WINEPREFIX when the test run made one to share (it takes a while to create), or a
# private one under $WORK. Returns 1 when Wine or its 64-bit loader is not installed.
use_wine() {
  find_wine_loaders || return 1
  find_tool WINESERVER wineserver || return 1
  use_wine_prefix "${TARVISK_WINEPREFIX:-$WORK/wineprefix}"
  [[ -n ${TARVISK_WINEPREFIX:-} ]] || PRIVATE_WINE=1
}

# Runs Windows program $1 under Wine with its output in $2.out and $2.err; fails on a non-zero
# exit status.
wine_run() {
  local program=$1 out=$2
  run_wine "$out" "$program"
  ((RUN_STATUS == 0)) || fail "$program exited with $RUN_STATUS under Wine: $(tail -n 5 "$out.out" "$out.err")"
}

# Checks the output of examples/cmake-mingw's show-manifest.exe: the first line, then exactly
# the manifest's bytes.
check_show_manifest_output() {
  local out=$1 manifest=$2 size first
  size=$(stat -c %s "$manifest")
  first=$(head -n 1 "$out")
  [[ $first =~ ^"found manifest of $size bytes, active code page "[0-9]+$'\r'$ ]] ||
    fail "the program printed '$first', expected it to find $size bytes"
  tail -c +$((${#first} + 2)) "$out" >shown.manifest
  cmp -s shown.manifest "$manifest" || fail "the program shows other bytes than $manifest"
}
