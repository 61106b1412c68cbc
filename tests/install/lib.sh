# Shared helpers for the installation tests: tool lookup, scratch space, reading a resource
# back with an independent reader, and running Windows programs under Wine.
# Sourced by the test scripts; every check ends the test with a message on failure.

set -euo pipefail

readonly SKIP_STATUS=77

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  echo "SKIP: $*"
  exit "$SKIP_STATUS"
}

# Debian ships the LLVM tools both plain and with a version suffix; take whichever exists.
# Sets the variable named by $1 to the command found for $2; returns 1 when there is none.
find_tool() {
  local var=$1 name=$2 candidate
  for candidate in "$name" "$name"-{20,19,18,17,16,15,14}; do
    if command -v "$candidate" >/dev/null 2>&1; then
      printf -v "$var" '%s' "$candidate"
      return 0
    fi
  done
  return 1
}

require_tool() {
  find_tool "$1" "$2" || skip "required tool '$2' is not installed"
}

PRIVATE_WINE=

on_exit() {
  if [[ -n $PRIVATE_WINE ]]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  if [[ -z ${TARVISK_KEEP_WORK:-} ]]; then
    rm -rf "$WORK"
  else
    echo "work directory kept: $WORK"
  fi
}

# A private scratch directory, removed at exit unless TARVISK_KEEP_WORK is set.
enter_workdir() {
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvisk-install.XXXXXX")
  trap on_exit EXIT
  cd "$WORK"
}

hex_of() {
  od -An -v -tx1 "$1" | tr -d ' \n' | tr 'a-f' 'A-F'
}

# The bytes stored at type 24, name 1, language 0 of image $1, in upper-case hex, as
# llvm-readobj reads them; empty when there is no such entry.
manifest_hex() {
  local image=$1
  "$READOBJ" --coff-resources "$image" >readobj.out 2>readobj.err ||
    fail "llvm-readobj cannot read $image: $(cat readobj.err)"
  awk '
    /^ *Type: .* \[$/     { type = $0; next }
    /^ *Name: .* \[$/     { name = $0; next }
    /^ *Language: .* \[$/ { lang = $0; next }
    /^ *Data \($/ {
      want = type ~ /\(ID 24\)/ && name ~ /\(ID 1\)/ && lang ~ /\(ID 0\)/
      indata = 1; next
    }
    indata && /^ *\)$/ { indata = 0; if (want) exit; next }
    indata && want {
      # "0010: 3C3F786D 6C207665 ...  |<?xml ve...|": the hex area is 35 columns wide.
      chunk = substr($0, index($0, ": ") + 2, 35); gsub(/ /, "", chunk); printf "%s", chunk
    }
  ' readobj.out
}

# Fails unless image $1 holds exactly the bytes of manifest $2 at type 24, name 1, language 0.
check_manifest_in() {
  local image=$1 manifest=$2 got
  got=$(manifest_hex "$image")
  [[ -n $got ]] || fail "$image has no resource at type 24, name 1, language 0"
  [[ $got == "$(hex_of "$manifest")" ]] ||
    fail "$image: the manifest resource does not hold the bytes of $manifest"
}

# Wine, when installed: sets WINE and a prefix. The prefix is $TARVISK_WINEPREFIX when the test
# run made one to share (it takes a while to create), or a private one under $WORK.
# Returns 1 when Wine is not installed.
use_wine() {
  find_tool WINE wine || return 1
  find_tool WINESERVER wineserver || return 1
  export WINEPREFIX=${TARVISK_WINEPREFIX:-$WORK/wineprefix}
  export WINEDEBUG=-all
  # No add-on installers (they would try to download), no display: console programs only.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  [[ -n ${TARVISK_WINEPREFIX:-} ]] || PRIVATE_WINE=1
}

# Runs Windows program $1 under Wine with its output in $2.out and $2.err (files, not pipes:
# Wine's console handling differs on pipes). Fails on a non-zero exit status.
wine_run() {
  local program=$1 out=$2 status=0
  timeout 120 "$WINE" "$program" >"$out.out" 2>"$out.err" </dev/null || status=$?
  ((status == 0)) || fail "$program exited with $status under Wine: $(tail -5 "$out.out" "$out.err")"
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
