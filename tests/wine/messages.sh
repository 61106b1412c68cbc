#!/usr/bin/env bash
# Runs tarvisk.exe under Wine through every row of its message table: the exact line on the
# exact stream, CR LF line endings, exit status 0 on success and -1 otherwise, and the image
# left alone whenever the run failed before the update.
#
# usage: messages.sh <state-dir> <x86|x64> <system|own>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

use_state "${1:-}"
arch=${2:?architecture}
service=${3:?service}
TOOL=$BIN/tarvisk-$arch-$service.exe
[[ -f $TOOL ]] || fail "no $TOOL"
case $arch in
  x86) image_arch=i686 && need_wine32 ;;
  x64) image_arch=x86_64 ;;
  *) fail "unknown architecture $arch" ;;
esac

enter_workdir
cp "$TOOL" tarvisk.exe
# The runtimes are linked in: nothing but the system's own DLLs may be imported. The system's
# service comes from KERNEL32; with Tarvisk's own built in, none of its calls may.
"$READOBJ" --coff-imports tarvisk.exe >imports.txt 2>&1 || fail "llvm-readobj could not read the imports"
for dll in $(awk '/^ *Name: / { print toupper($2) }' imports.txt | sort -u); do
  case $dll in
    KERNEL32.DLL | MSVCRT.DLL | ADVAPI32.DLL) ;;
    *) fail "tarvisk.exe ($arch, $service service) needs $dll, which Windows does not ship" ;;
  esac
done
for call in BeginUpdateResourceA UpdateResourceA EndUpdateResourceA; do
  if grep -q "Symbol: $call " imports.txt; then
    [[ $service == system ]] || fail "tarvisk.exe with Tarvisk's service still imports $call"
  else
    [[ $service == own ]] || fail "tarvisk.exe with the system's service does not import $call"
  fi
done

cp "$BIN/find-manifest-$image_arch-stripped.exe" original.exe
printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\r\n' >small.manifest
: >empty.manifest
mkdir folder "sub dir"
echo "not an executable image" >notes.txt
: >empty.exe

# Expected stream contents: each given line followed by CR LF, or nothing at all.
expect_lines() {
  local out=$1 line
  shift
  : >"$out"
  for line in "$@"; do printf '%s\r\n' "$line" >>"$out"; done
}

# check <name> <status> <stdout line or ""> <stderr line or ""> -- <operands...>
checked=0
check() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  cp original.exe app.exe
  run_wine "$name" tarvisk.exe "$@"
  if [[ -n $out ]]; then expect_lines "$name.out.expected" "$out"; else expect_lines "$name.out.expected"; fi
  if [[ -n $err ]]; then expect_lines "$name.err.expected" "$err"; else expect_lines "$name.err.expected"; fi
  cmp -s "$name.out" "$name.out.expected" ||
    fail "$name: stdout was '$(od -An -c "$name.out")', expected '$(od -An -c "$name.out.expected")'"
  cmp -s "$name.err" "$name.err.expected" ||
    fail "$name: stderr was '$(od -An -c "$name.err")', expected '$(od -An -c "$name.err.expected")'"
  # Wine hands the low 8 bits of the exit code to Linux: -1 arrives as 255.
  ((RUN_STATUS == status)) || fail "$name: exit status $RUN_STATUS, expected $status"
  checked=$((checked + 1))
}

unchanged() {
  cmp -s app.exe original.exe || fail "$1: the image was changed by a failed run"
}

has_manifest() {
  local name=$1 image=$2 manifest=$3
  resource_list "$image" "$name.resources"
  grep -qxF "$(manifest_line "$manifest")" "$name.resources" ||
    fail "$name: $image does not hold $manifest at type 24, name 1, language 0"
}

usage="Usage: Tarvisk <executable> <manifest>"
check no-operands 255 "" "$usage" --
check one-operand 255 "" "$usage" -- app.exe
unchanged one-operand
check three-operands 255 "" "$usage" -- app.exe small.manifest small.manifest
unchanged three-operands

check missing-manifest 255 "" "Error trying to open manifest file 'missing.manifest'" -- app.exe missing.manifest
unchanged missing-manifest
check manifest-is-folder 255 "" "Error trying to open manifest file 'folder'" -- app.exe folder
unchanged manifest-is-folder

check missing-image 255 "" "Error trying to open executable image 'missing.exe'" -- missing.exe small.manifest
check image-in-missing-folder 255 "" "Error trying to open executable image 'nowhere\\app.exe'" -- \
  'nowhere\app.exe' small.manifest
check image-is-folder 255 "" "Error trying to open executable image 'folder'" -- folder small.manifest
check image-not-pe 255 "" "Error trying to open executable image 'notes.txt'" -- notes.txt small.manifest
[[ $(cat notes.txt) == "not an executable image" ]] || fail "image-not-pe: the text file was changed"
check image-empty 255 "" "Error trying to open executable image 'empty.exe'" -- empty.exe small.manifest
[[ ! -s empty.exe ]] || fail "image-empty: the empty file was changed"

check success 0 "small.manifest inserted into app.exe" "" -- app.exe small.manifest
has_manifest success app.exe small.manifest

# Paths reach the tool as the start-up split them: backslashes and spaces kept as typed.
cp original.exe "sub dir/app 2.exe"
cp small.manifest "sub dir/my manifest.xml"
check spaced-paths 0 'sub dir\my manifest.xml inserted into sub dir\app 2.exe' "" -- \
  'sub dir\app 2.exe' 'sub dir\my manifest.xml'
has_manifest spaced-paths "sub dir/app 2.exe" small.manifest

# The manifest is read and closed before the image is opened, so one file can be both.
cp original.exe both.exe
check same-file 0 "both.exe inserted into both.exe" "" -- both.exe both.exe
has_manifest same-file both.exe original.exe

# Wine's service refuses a zero-length resource, and with a last-error code of 0.
if [[ $service == system ]]; then
  cp original.exe app.exe
  run_wine empty-manifest tarvisk.exe app.exe empty.manifest
  [[ ! -s empty-manifest.out ]] || fail "empty-manifest: a success line after a refused update"
  grep -qE $'^Error [0-9a-f]+ updating resource\r$' empty-manifest.err ||
    fail "empty-manifest: stderr was '$(od -An -c empty-manifest.err)'"
  if ((RUN_STATUS == 255)); then
    known_difference "Wine's service refuses an empty manifest: $(tr -d '\r' <empty-manifest.err)"
  else
    fail "empty-manifest: exit status $RUN_STATUS after a refused update"
  fi
else
  check empty-manifest 0 "empty.manifest inserted into app.exe" "" -- app.exe empty.manifest
  has_manifest empty-manifest app.exe empty.manifest
fi

# The full exit code as Windows sees it: cmd shows all 32 bits set as -1.
run_wine errorlevel cmd /c 'tarvisk.exe & echo status=%ERRORLEVEL%'
grep -qx $'status=-1\r' errorlevel.out || fail "a failed run's exit code was not -1: '$(cat errorlevel.out)'"
cp original.exe app.exe
run_wine errorlevel-success cmd /c 'tarvisk.exe app.exe small.manifest >nul & echo status=%ERRORLEVEL%'
grep -qx $'status=0\r' errorlevel-success.out || fail "a successful run's exit code was not 0: '$(cat errorlevel-success.out)'"

# Tarvisk's service writes the new image beside the old one; none may stay behind.
leftovers=$(find . -name '*.tarvisk-*')
[[ -z $leftovers ]] || fail "temporary files left behind: $leftovers"

echo "PASS: $checked message cases for tarvisk.exe ($arch, $service service) under Wine"
