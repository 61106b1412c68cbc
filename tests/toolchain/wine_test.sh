#!/usr/bin/env bash
# Starts mingw programs under Wine after tarvisk gave them a manifest: they must still run,
# read their string table and find the new manifest at type 24, name 1, language neutral.
#
# usage: wine_test.sh <tarvisk>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_tarvisk "${1:-}"
require_llvm_readers
# Wine is optional even where every other tool is required: this is a smoke test only.
if ! find_wine_loaders || ! find_tool WINESERVER wineserver; then
  echo "SKIP: Wine or its 64-bit loader is not installed"
  exit "$SKIP_STATUS"
fi

enter_workdir
write_manifests

# A private prefix: the programs only need a console.
use_wine_prefix "$WORK/prefix"
stop_wine() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  remove_scratch
}
trap stop_wine EXIT

# Runs in this shell, not a subshell, so that errexit stays in force for the build.
run_one() {
  local arch=$1 manifest_size
  mkdir "$WORK/$arch"
  cp "$INPUTS"/* small.manifest "$WORK/$arch"/
  cd "$WORK/$arch"
  build_image mingw "$arch" rsrc
  embed app.exe small.manifest
  run_wine run app.exe
  if ((RUN_STATUS != 0)); then
    # A Wine without 64-bit support cannot start x86_64 programs at all; that is no fault.
    if [[ $arch == x86_64 ]] && grep -qi 'bad exe format\|wow64\|not supported' run.err; then
      echo "note: this Wine cannot run x86_64 programs: $(head -3 run.err)"
      cd "$WORK"
      return 0
    fi
    fail "$arch program exited with $RUN_STATUS under Wine: $(tail -5 run.err)"
  fi
  manifest_size=$(stat -c %s small.manifest)
  # The string table language follows Wine's locale: US English or German are both right.
  grep -Eq "^started string=(15:toolchain image|13:Werkzeugkette) manifest=$manifest_size"$'\r?$' \
    run.out || fail "$arch program printed '$(cat run.out)'"
  ran=$((ran + 1))
  cd "$WORK"
}

ran=0
run_one x86_64
((ran > 0)) || fail "this Wine could run none of the programs"
why=$(why_no_wine32)
if [[ -n $why ]]; then
  skip_for_machine "the x86_64 program started under Wine after embedding; the i686 one cannot run here: $why"
fi
run_one i686
echo "PASS: $ran mingw programs started under Wine after embedding"
