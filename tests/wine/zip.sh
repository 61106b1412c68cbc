#!/usr/bin/env bash
# The Windows download as a user meets it: unpacked, its README.txt in CR LF, its manifests the
# ready-made ones, and both executables run from the unpacked folder under Wine on the bundled
# example, storing the manifest and failing as the message table says.
#
# usage: zip.sh <state-dir> <x86|x64> <source-dir>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

use_state "${1:-}"
arch=${2:?architecture}
SOURCE=$(realpath "${3:?source directory}")
case $arch in
  x86) suffix=win32 && need_wine32 ;;
  x64) suffix=win64 ;;
  *) fail "unknown architecture $arch" ;;
esac
command -v unzip >/dev/null 2>&1 || skip "'unzip' is not installed"
zips=("$BIN"/tarvisk-*-"$suffix".zip)
[[ -f ${zips[0]} ]] || fail "setup left no tarvisk-<version>-$suffix.zip in $BIN"
((${#zips[@]} == 1)) || fail "setup left more than one $suffix zip: ${zips[*]}"

enter_workdir
unzip -q "${zips[0]}" || fail "unzip could not unpack ${zips[0]}"
folder=$(basename "${zips[0]}" .zip)
[[ -d $folder ]] || fail "the zip does not unpack into a folder named $folder"

# What is in it, and nothing else.
(cd "$folder" && find . -type f | LC_ALL=C sort) >contents
{
  printf '%s\n' ./LICENSE.txt ./README.txt
  for manifest in "$SOURCE"/examples/manifests/*.manifest; do echo "./manifests/$(basename "$manifest")"; done
  printf '%s\n' ./tarvisk-own.exe ./tarvisk.exe
} | LC_ALL=C sort >expected-contents
cmp -s contents expected-contents || fail "the zip holds: $(tr '\n' ' ' <contents), expected: $(tr '\n' ' ' <expected-contents)"
for manifest in "$SOURCE"/examples/manifests/*.manifest; do
  cmp -s "$manifest" "$folder/manifests/$(basename "$manifest")" || fail "manifests/$(basename "$manifest") is not the ready-made one"
done
for text in README.txt LICENSE.txt; do
  lines=$(wc -l <"$folder/$text")
  ((lines > 0)) || fail "$text is empty"
  (($(grep -c $'\r$' "$folder/$text") == lines)) || fail "$text has lines that do not end in CR LF"
done
grep -q 'tarvisk-own.exe' "$folder/README.txt" || fail "README.txt does not say when to pick tarvisk-own.exe"

cp "$SOURCE/examples/hello/hello.exe" original.exe
cp "$SOURCE/examples/manifests/as-invoker.manifest" app.manifest
echo "not an executable image" >notes.txt
for tool in tarvisk tarvisk-own; do
  cp original.exe app.exe
  # Run as unpacked: from the folder the zip made, by a path into it.
  run_wine "$tool-ok" "$folder/$tool.exe" app.exe app.manifest
  printf 'app.manifest inserted into app.exe\r\n' >expected.out
  cmp -s "$tool-ok.out" expected.out || fail "$tool.exe: stdout was '$(od -An -c "$tool-ok.out")'"
  [[ ! -s $tool-ok.err ]] || fail "$tool.exe: stderr was '$(cat "$tool-ok.err")'"
  ((RUN_STATUS == 0)) || fail "$tool.exe: exit status $RUN_STATUS on success"
  resource_list app.exe "$tool.resources"
  grep -qxF "$(manifest_line app.manifest)" "$tool.resources" || fail "$tool.exe did not store the manifest at 24/1/0"

  # Wine hands the low 8 bits of the exit code to Linux: -1 arrives as 255.
  run_wine "$tool-refused" "$folder/$tool.exe" notes.txt app.manifest
  printf "Error trying to open executable image 'notes.txt'\r\n" >expected.err
  cmp -s "$tool-refused.err" expected.err || fail "$tool.exe: stderr was '$(od -An -c "$tool-refused.err")' for a text file"
  [[ ! -s $tool-refused.out ]] || fail "$tool.exe: wrote to stdout for a text file"
  ((RUN_STATUS == 255)) || fail "$tool.exe: exit status $RUN_STATUS for a text file, expected 255"
done
echo "PASS: ${zips[0]##*/} unpacks, and both executables in it store the manifest and refuse a text file under Wine"
