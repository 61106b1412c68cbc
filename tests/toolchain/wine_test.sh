#!/usr/bin/env bash
# Starts mingw programs under Wine after tarvisk gave them a manifest: they must still run,
# read their string table and find the new manifest at type 24, name 1, language neutral.
#
# usage: wine_test.sh <tarvisk>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_tarvisk "${1:-}"
require_llvm_readers
# Wine is optional even where every other tool is required: this is a smoke test only.
if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "SKIP: Wine is not installed"
  exit "$SKIP_STATUS"
fi
WINE=wine
WINESERVER=wineserver

enter_workdir
write_manifests

# A private prefix, no display and no add-on installers: the programs only need a console.
export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
stop_wine() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [[ -n ${TARVISK_KEEP_WORK:-} ]] || rm -rf "$WORK"
}
trap stop_wine EXIT

# Runs in this shell, not a subshell, so that errexit stays in force for the build.
run_one() {
  local arch=$1 status=0 manifest_size
  mkdir "$WORK/$arch"
  cp "$INPUTS"/* small.manifest "$WORK/$arch"/
  cd "$WORK/$arch"
  build_image mingw "$arch" rsrc
  embed app.exe small.manifest
  timeout 120 "$WINE" app.exe >run.out 2>run.err </dev/null || status=$?
  if ((status != 0)); then
    # A Wine without 64-bit support cannot start x86_64 programs at all; that is no fault.
    if [[ $arch == x86_64 ]] && grep -qi 'bad exe format\|wow64\|not supported' run.err; then
      echo "note: this Wine cannot run x86_64 programs: $(head -3 run.err)"
      cd "$WORK"
      return 0
    fi
    fail "$arch program exited with $status under Wine: $(tail -5 run.err)"
  fi
  manifest_size=$(stat -c %s small.manifest)
  # The string table language follows Wine's locale: US English or German are both right.
  grep -Eq "^started string=(15:toolchain image|13:Werkzeugkette) manifest=$manifest_size"$'\r?$' \
    run.out || fail "$arch program printed '$(cat run.out)'"
  ran=$((ran + 1))
  cd "$WORK"
}

ran=0
run_one i686
run_one x86_64
((ran > 0)) || fail "this Wine could run none of the programs"
echo "PASS: $ran mingw programs started under Wine after embedding"
