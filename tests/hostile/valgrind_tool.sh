#!/usr/bin/env bash
# Runs the built tool under valgrind on its main roads, success and failure: any memory error
# or leak fails the test, as does an exit status other than the one the road must give.
# Usage: valgrind_tool.sh VALGRIND TARVISK SOURCE_DIR   (exit 77: valgrind not available)
set -uo pipefail

valgrind=$1
tarvisk=$2
source_dir=$3
if [[ ! -x $valgrind ]]; then
  echo "valgrind not found; skipped"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvisk-valgrind-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$source_dir/examples/hello/hello.exe" "$work/app.exe"
cp "$source_dir/examples/hello/app.manifest" "$work/app.manifest"
: > "$work/empty.manifest"
mkdir "$work/folder"

passed=0
failed=0
# check NAME EXPECTED_STATUS OPERANDS...
check() {
  local name=$1 want=$2
  shift 2
  local status=0
  "$valgrind" -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --log-file="$work/valgrind.log" "$tarvisk" "$@" > "$work/out" 2> "$work/err" || status=$?
  if [[ $status -eq $want ]]; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name: exit $status, expected $want"
    cat "$work/valgrind.log" "$work/err"
  fi
}

check "stores a manifest" 0 "$work/app.exe" "$work/app.manifest"
check "replaces the manifest it stored" 0 "$work/app.exe" "$work/app.manifest"
check "stores an empty manifest" 0 "$work/app.exe" "$work/empty.manifest"
check "usage" 255
check "three operands" 255 a b c
check "missing manifest" 255 "$work/app.exe" "$work/missing.manifest"
check "manifest is a directory" 255 "$work/app.exe" "$work/folder"
check "missing image" 255 "$work/missing.exe" "$work/app.manifest"
check "image is not a PE image" 255 "$work/app.manifest" "$work/app.manifest"
check "image is a directory" 255 "$work/folder" "$work/app.manifest"

echo "valgrind: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
