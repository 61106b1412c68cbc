#!/usr/bin/env bash
# The same images and manifests through three services: the Linux tarvisk, tarvisk.exe with
# Wine's own resource-update service, and tarvisk.exe with Tarvisk's service built in. The
# resource sets (types, names, languages, code pages, bytes) read back by llvm-readobj must
# agree; the Windows build of Tarvisk's service must write the very bytes the Linux build
# writes; and every place where Wine's service differs is named in the log, not hidden.
#
# usage: differential.sh <state-dir> <x86|x64> <linux-tarvisk>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

use_state "${1:-}"
arch=${2:?architecture}
LINUX_TOOL=$(realpath "${3:?the Linux tarvisk}")
[[ -x $LINUX_TOOL ]] || fail "$LINUX_TOOL is not executable"
[[ $arch != x86 ]] || need_wine32
for service in system own; do
  [[ -f $BIN/tarvisk-$arch-$service.exe ]] || fail "no tarvisk-$arch-$service.exe"
done

enter_workdir
cp "$BIN/tarvisk-$arch-system.exe" system.exe
cp "$BIN/tarvisk-$arch-own.exe" own.exe
printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>' >tiny.manifest
{
  printf '\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\r\n'
  for ((i = 0; i < 200; i++)); do printf '  <!-- line %03d: \xc3\xa4\xc3\xb6\xc3\xbc filler -->\r\n' "$i"; done
  printf '</assembly>\r\n'
} >large.manifest
: >empty.manifest

# Runs one service on its own copy: linux/<image>, system/<image> or own/<image>.
# Leaves the status in RUN_STATUS and the streams in <route>.out and <route>.err.
embed() {
  local route=$1 image=$2 manifest=$3
  if [[ $route == linux ]]; then
    RUN_STATUS=0
    (cd linux && "$LINUX_TOOL" "$image" "../$manifest" >../linux.out 2>../linux.err) || RUN_STATUS=$?
  else
    run_wine "$route" "$route.exe" "$route\\$image" "$manifest"
  fi
}

embed_ok() {
  embed "$@"
  ((RUN_STATUS == 0)) || fail "$1: '$2' '$3' exited with $RUN_STATUS: $(cat "$1.err")"
}

# A copy of an image Wine's service wrote, with what it left stale put right, so that
# llvm-readobj reads its resources at all; each repair is named as a known difference.
readable_copy() {
  local original=$1 image=$2 copy=$3 coff sections first last shift pointer rva header i
  cp "$image" "$copy"
  coff=$(($(u32_at "$image" 60) + 4))
  sections=$(od -An -tu2 -j$((coff + 2)) -N2 "$image" | tr -d ' ')
  first=$((coff + 20 + $(od -An -tu2 -j$((coff + 16)) -N2 "$image" | tr -d ' ')))
  if symbol_table_left_behind "$original" "$image"; then
    last=$((first + 40 * (sections - 1)))
    shift=$(($(u32_at "$image" $((last + 20))) - $(u32_at "$original" $((last + 20)))))
    pointer=$(u32_at "$original" $((coff + 8)))
    known_difference "$NAME: Wine's service moved the symbol table by $shift bytes but not PointerToSymbolTable"
    put_u32 "$copy" $((coff + 8)) $((pointer + shift))
  fi
  # The section that holds the resource tree must map all of it.
  rva=$(u32_at "$image" "$(data_directory_at "$image" 2)")
  for ((i = 0; i < sections; i++)); do
    header=$((first + 40 * i))
    if ((rva >= $(u32_at "$image" $((header + 12))) &&
      rva < $(u32_at "$image" $((header + 12))) + $(u32_at "$image" $((header + 16))))); then
      if "$READOBJ" --coff-resources "$copy" >/dev/null 2>&1; then return 0; fi
      (($(u32_at "$image" $((header + 8))) < $(u32_at "$image" $((header + 16))))) || return 0
      known_difference "$NAME: Wine's service wrote resources past the section's stale VirtualSize"
      put_u32 "$copy" $((header + 8)) "$(u32_at "$image" $((header + 16)))"
      return 0
    fi
  done
}

# The resource sets of the three results must agree, and the two builds of Tarvisk's
# service must agree to the byte.
compare_routes() {
  local original=$1 image=$2
  cmp -s "linux/$image" "own/$image" ||
    fail "$NAME: Tarvisk's service wrote different bytes on Windows than on Linux"
  resource_list "linux/$image" linux.resources
  readable_copy "$original" "system/$image" system.readable
  resource_list system.readable system.resources
  cmp -s linux.resources system.resources ||
    fail "$NAME: Wine's service left other resources than Tarvisk's: $(diff <(cut -c1-120 linux.resources) <(cut -c1-120 system.resources) | head -6)"
}

# A non-zero checksum that was right stays right with Tarvisk and is left stale by Wine's service.
compare_checksums() {
  local original=$1 image=$2 stored
  stored=$(u32_at "$original" "$(checksum_at "$original")")
  ((stored != 0 && stored == $(pe_checksum "$original"))) || return 0
  stored=$(u32_at "linux/$image" "$(checksum_at "linux/$image")")
  ((stored == $(pe_checksum "linux/$image"))) || fail "$NAME: Tarvisk left a stale checksum"
  stored=$(u32_at "system/$image" "$(checksum_at "system/$image")")
  if ((stored != $(pe_checksum "system/$image"))); then
    known_difference "$NAME: Wine's service left the checksum stale"
  fi
}

start_case() {
  NAME=$1
  local original=$2 image=$3
  rm -rf linux system own
  mkdir linux system own
  cp "$original" "linux/$image"
  cp "$original" "system/$image"
  cp "$original" "own/$image"
}

cases=0

# Every build of the loader-check program: a manifest, then a larger one in its place.
for image_arch in i686 x86_64; do
  for variant in plain stripped debug rsrc; do
    image=$image_arch-$variant.exe
    original=$BIN/find-manifest-$image
    start_case "$image" "$original" "$image"
    for manifest in tiny.manifest large.manifest; do
      NAME="$image + $manifest"
      for route in linux system own; do embed_ok "$route" "$image" "$manifest"; done
      compare_routes "$original" "$image"
      compare_checksums "$original" "$image"
      cases=$((cases + 1))
    done
  done
done

case $arch in
  x86) image_arch=i686 ;;
  x64) image_arch=x86_64 ;;
esac
stripped=$BIN/find-manifest-$image_arch-stripped.exe
size=$(stat -c %s "$stripped")

# Bytes after the last section: Tarvisk keeps them at the end of the image.
cp "$stripped" overlay.exe
head -c 4096 /dev/urandom >overlay.bytes
cat overlay.bytes >>overlay.exe
start_case "overlay" overlay.exe app.exe
embed_ok linux app.exe tiny.manifest
embed_ok system app.exe tiny.manifest
embed_ok own app.exe tiny.manifest
compare_routes overlay.exe app.exe
cmp -s <(tail -c 4096 linux/app.exe) overlay.bytes || fail "overlay: Tarvisk did not keep the overlay"
if cmp -s <(tail -c 4096 system/app.exe) overlay.bytes; then
  :
elif cmp -s <(tail -c +$((size + 1)) system/app.exe | head -c 4096) overlay.bytes; then
  known_difference "overlay: Wine's service left the overlay at its offset and put the new section after it"
else
  known_difference "overlay: Wine's service dropped the overlay"
fi
cases=$((cases + 1))

# An Authenticode certificate table: it cannot stay valid once the image changes. Tarvisk
# removes it and clears the entry; a dangling entry makes signing tools reject the image.
cp "$stripped" signed.exe
while (($(stat -c %s signed.exe) % 8 != 0)); do printf '\0' >>signed.exe; done
cert_offset=$(stat -c %s signed.exe)
# WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType 2 (PKCS#7), then the blob.
{
  printf '\x20\x00\x00\x00\x00\x02\x02\x00'
  printf 'TARVISK-TEST-SIGNATURE-\0'
} >>signed.exe
put_u32 signed.exe "$(data_directory_at signed.exe 4)" "$cert_offset"
put_u32 signed.exe $(($(data_directory_at signed.exe 4) + 4)) 32
start_case "certificate" signed.exe app.exe
embed_ok linux app.exe tiny.manifest
embed_ok system app.exe tiny.manifest
embed_ok own app.exe tiny.manifest
compare_routes signed.exe app.exe
entry=$(data_directory_at linux/app.exe 4)
(($(u32_at linux/app.exe "$entry") == 0 && $(u32_at linux/app.exe $((entry + 4))) == 0)) ||
  fail "certificate: Tarvisk left the certificate entry in place"
! grep -q TARVISK-TEST-SIGNATURE linux/app.exe || fail "certificate: Tarvisk left the certificate bytes"
entry=$(data_directory_at system/app.exe 4)
if (($(u32_at system/app.exe "$entry") != 0)); then
  known_difference "certificate: Wine's service left the certificate entry, now covering an image it does not sign"
fi
cases=$((cases + 1))

# A zero-length manifest: Tarvisk stores it; Wine's service refuses it.
start_case "empty manifest" "$stripped" app.exe
embed_ok linux app.exe empty.manifest
embed_ok own app.exe empty.manifest
cmp -s linux/app.exe own/app.exe || fail "empty manifest: Tarvisk's service wrote different bytes on Windows"
resource_list linux/app.exe linux.resources
grep -qx 'MANIFEST (ID 24)|(ID 1)|(ID 0)|0|0|' linux.resources || fail "empty manifest: Tarvisk stored no empty resource"
embed system app.exe empty.manifest
if ((RUN_STATUS != 0)); then
  # The update is still ended without discarding, so Wine's service writes the image anyway,
  # without the refused entry.
  resource_list system/app.exe system.resources
  [[ ! -s system.resources ]] || fail "empty manifest: Wine's service stored resources it refused"
  known_difference "empty manifest: Wine's service refuses it: $(tr -d '\r' <system.err)"
else
  resource_list system/app.exe system.resources
  cmp -s linux.resources system.resources || fail "empty manifest: Wine's service stored something else"
fi
cases=$((cases + 1))

echo "PASS: $cases cases agree between the Linux tarvisk and tarvisk.exe ($arch) on both services"
