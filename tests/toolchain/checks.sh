# Checks that hold an embedded image to its original snapshot. Sourced through lib.sh.
# shellcheck shell=bash

# Compares an embedded image with the snapshot of its original.
check_embedded() {
  local image=$1 manifest=$2 before=$3 after=$4
  snapshot "$image" "$after"

  # The manifest entry holds exactly the file's bytes, with code page 0.
  local entry expected_hex
  entry=$(grep -E "$MANIFEST_KEY_PATTERN" "$after/resources.all" || true)
  [[ -n $entry ]] || fail "$image: no resource at type 24, name 1, language 0; it has:
$(cut -d'|' -f1-5 "$after/resources.all")"
  [[ $(printf '%s\n' "$entry" | wc -l) -eq 1 ]] || fail "$image: more than one 24/1/0 entry"
  expected_hex=$(hex_of "$manifest")
  [[ $entry == *"|0|$(stat -c %s "$manifest")|$expected_hex" ]] ||
    fail "$image: 24/1/0 does not hold the bytes of $manifest (code page 0):
  got      $entry
  expected ...|0|$(stat -c %s "$manifest")|$expected_hex"

  resource_order_errors "$after/readobj" >order.errors
  [[ ! -s order.errors ]] || fail "$image: resource directories out of order:
$(cat order.errors)"

  # Every other resource, with its language, code page and bytes, is as it was.
  diff -u "$before/resources" "$after/resources" >resources.diff ||
    fail "$image: resources other than 24/1/0 changed:
$(cat resources.diff)"

  check_headers "$image" "$before/headers" "$after/headers"
  check_sections "$image" "$before" "$after"

  diff -u "$before/symbols" "$after/symbols" >symbols.diff ||
    fail "$image: the COFF symbol table lists differently:
$(head -40 symbols.diff)"

  cmp -s "$before/mode" "$after/mode" ||
    fail "$image: permission bits went from $(cat "$before/mode") to $(cat "$after/mode")"

  # A checksum is kept as valid as it was: right where it was right, off by as much (or by that
  # and one wrap of the folded 16-bit sum) where it was stale.
  local old_sum new_sum was_off is_off moved
  old_sum=$(cat "$before/checksum")
  new_sum=$(cat "$after/checksum")
  if [[ $old_sum == 00000000 ]]; then
    [[ $new_sum == 00000000 ]] || fail "$image: a zero checksum became $new_sum"
  else
    was_off=$(((16#$old_sum - 16#$(cat "$before/computed_checksum")) & 0xffffffff))
    is_off=$(((16#$new_sum - 16#$(cat "$after/computed_checksum")) & 0xffffffff))
    moved=$((((is_off - was_off + 0x80000000) & 0xffffffff) - 0x80000000))
    if ((was_off == 0 ? is_off != 0 : moved != 0 && moved != 0xffff && moved != -0xffff)); then
      fail "$image: stored checksum $new_sum, computed $(cat "$after/computed_checksum"), off by $is_off where it was off by $was_off"
    fi
  fi
}

# Fields no resource update may touch, then the resource directory itself.
check_headers() {
  local image=$1 before=$2 after=$3 field
  for field in Machine Magic AddressOfEntryPoint ImageBase SectionAlignment FileAlignment \
    BaseOfCode SizeOfCode Subsystem ExportTableRVA ExportTableSize ImportTableRVA \
    ImportTableSize ExceptionTableRVA ExceptionTableSize BaseRelocationTableSize DebugRVA \
    DebugSize TLSTableRVA TLSTableSize LoadConfigTableRVA IATRVA IATSize \
    SizeOfStackReserve SizeOfHeapReserve; do
    [[ $(header_value "$before" "$field") == $(header_value "$after" "$field") ]] ||
      fail "$image: header field $field changed from $(header_value "$before" "$field")" \
        "to $(header_value "$after" "$field")"
  done
  [[ $(header_value "$after" ResourceTableSize) != 0x0 ]] ||
    fail "$image: the resource data directory is empty"
}

# Sections: laid out validly, exactly one .rsrc that the resource directory points at, and
# every other section's bytes and size unchanged. Only relocations and discardable sections
# may have moved in memory; code may refer to anything else by address.
check_sections() {
  local image=$1 before=$2 after=$3
  local file_size salign falign size_of_image headers_size resource_rva
  file_size=$(stat -c %s "$image")
  salign=$(($(header_value "$after/headers" SectionAlignment)))
  falign=$(($(header_value "$after/headers" FileAlignment)))
  size_of_image=$(($(header_value "$after/headers" SizeOfImage)))
  headers_size=$(($(header_value "$after/headers" SizeOfHeaders)))
  resource_rva=$(($(header_value "$after/headers" ResourceTableRVA)))

  local name va vs rs rp flags rsrc_count=0 next_va=0 next_raw=$headers_size span
  while IFS='|' read -r name va vs rs rp flags; do
    va=$((va)) vs=$((vs)) rs=$((rs)) rp=$((rp))
    ((va % salign == 0)) || fail "$image: section $name at RVA $va is not aligned"
    ((va >= next_va)) || fail "$image: section $name at RVA $va overlaps the one before"
    span=$((vs > 0 ? vs : rs))
    next_va=$(((va + span + salign - 1) / salign * salign))
    if ((rs > 0)); then
      ((rp % falign == 0)) || fail "$image: raw data of $name at $rp is not aligned"
      ((rp >= next_raw)) || fail "$image: raw data of $name at $rp overlaps earlier bytes"
      ((rp + rs <= file_size)) || fail "$image: raw data of $name runs past the file's end"
      next_raw=$((rp + rs))
    fi
    if [[ $name == .rsrc ]]; then
      rsrc_count=$((rsrc_count + 1))
      ((resource_rva == va)) || fail "$image: resource directory at $resource_rva, .rsrc at $va"
    fi
  done <"$after/sections"
  ((rsrc_count == 1)) || fail "$image: $rsrc_count sections named .rsrc"
  ((size_of_image == next_va)) || fail "$image: SizeOfImage $size_of_image, sections end at $next_va"

  local old_image=$image.orig
  while IFS='|' read -r name va vs rs rp flags; do
    [[ $name != .rsrc ]] || continue
    local now
    now=$(awk -F'|' -v n="$name" '$1 == n' "$after/sections")
    [[ -n $now ]] || fail "$image: section $name is gone"
    local nva nvs nrs nrp nflags
    IFS='|' read -r _ nva nvs nrs nrp nflags <<<"$now"
    [[ $nvs == "$vs" && $nrs == "$rs" && $nflags == "$flags" ]] ||
      fail "$image: section $name changed: '$va|$vs|$rs|$rp|$flags' -> '$now'"
    if [[ $name != .reloc ]] && (((flags & 0x02000000) == 0)); then
      [[ $nva == "$va" ]] || fail "$image: section $name moved from RVA $va to $nva"
    fi
    cmp -s -i $((rp)):$((nrp)) -n $((rs)) "$old_image" "$image" ||
      fail "$image: the bytes of section $name changed"
  done <"$before/sections"
}
