#!/usr/bin/env bash
# The Windows loader as the judge: a program given a manifest by one tarvisk must, under
# Wine, find it with FindResourceExA(NULL, RT_MANIFEST, 1, neutral) and print exactly the
# bytes it was given, for plain, stripped, debug and resource-carrying builds of both
# architectures, first with a small manifest and then with one that makes the section grow.
#
# usage: loader.sh <state-dir> <x86-system|x86-own|x64-system|x64-own|linux> <i686|x86_64|both>
#                  [linux-tarvisk]
# The third operand picks the programs' architecture, so that the 32-bit ones can skip alone
# where 32-bit programs cannot run.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

use_state "${1:-}"
embedder=${2:?embedder}
case ${3:?architecture of the programs} in
  both) arches=(i686 x86_64) ;;
  i686 | x86_64) arches=("$3") ;;
  *) fail "unknown architecture $3" ;;
esac
set -- "$1" "$2" "${@:4}"
if [[ $embedder == x86-* || ${arches[0]} == i686 ]]; then need_wine32; fi
case $embedder in
  linux)
    LINUX_TOOL=$(realpath "${3:?the Linux tarvisk}")
    [[ -x $LINUX_TOOL ]] || fail "$LINUX_TOOL is not executable"
    ;;
  x86-system | x86-own | x64-system | x64-own)
    [[ -f $BIN/tarvisk-$embedder.exe ]] || fail "no tarvisk-$embedder.exe"
    ;;
  *) fail "unknown embedder $embedder" ;;
esac

enter_workdir
[[ $embedder == linux ]] || cp "$BIN/tarvisk-$embedder.exe" tarvisk.exe
{
  printf '\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\r\n'
  printf '  <assemblyIdentity type="win32" name="Tarvisk.LoaderCheck" version="1.0.0.0"/>\r\n'
  printf '</assembly>\r\n'
} >small.manifest
{
  printf '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n<!--\n'
  for ((i = 0; i < 300; i++)); do
    printf '  filler line %03d: more than any resource section has to spare\n' "$i"
  done
  printf -- '-->\n</assembly>\n'
} >large.manifest

embed() {
  local image=$1 manifest=$2
  if [[ $embedder == linux ]]; then
    RUN_STATUS=0
    "$LINUX_TOOL" "$image" "$manifest" >embed.out 2>embed.err || RUN_STATUS=$?
    printf '%s inserted into %s\n' "$manifest" "$image" >embed.expected
  else
    run_wine embed tarvisk.exe "$image" "$manifest"
    printf '%s inserted into %s\r\n' "$manifest" "$image" >embed.expected
  fi
  ((RUN_STATUS == 0)) || fail "$embedder: '$image' '$manifest' exited with $RUN_STATUS: $(cat embed.err)"
  cmp -s embed.out embed.expected || fail "$embedder: '$image' '$manifest' printed '$(cat embed.out)'"
}

# The program must print the checksum and size of exactly these bytes.
loads() {
  local program=$1 manifest=$2 expected
  run_wine run "$program"
  expected="manifest $(cksum <"$manifest")"
  ((RUN_STATUS == 0)) || fail "$program exited with $RUN_STATUS under Wine: $(cat run.out run.err)"
  [[ $(tr -d '\r' <run.out) == "$expected" ]] ||
    fail "$program found '$(tr -d '\r' <run.out)' instead of '$expected'"
}

ran=0
for arch in "${arches[@]}"; do
  for variant in plain stripped debug rsrc; do
    program=$arch-$variant.exe
    cp "$BIN/find-manifest-$program" "$program"
    resource_list "$program" before
    grep -v '^MANIFEST (ID 24)|(ID 1)|(ID 0)|' before >before.others || true
    for manifest in small.manifest large.manifest; do
      embed "$program" "$manifest"
      loads "$program" "$manifest"
      ran=$((ran + 1))
      if [[ $embedder == *-system ]] && symbol_table_left_behind "$BIN/find-manifest-$program" "$program"; then
        known_difference "Wine's service moved $program's symbol table but not PointerToSymbolTable"
        continue
      fi
      resource_list "$program" after
      grep -v '^MANIFEST (ID 24)|(ID 1)|(ID 0)|' after >after.others || true
      cmp -s before.others after.others ||
        fail "$embedder changed other resources of $program: $(diff before.others after.others | head -5)"
    done
  done
done
echo "PASS: $ran images given a manifest by $embedder loaded it under Wine"
