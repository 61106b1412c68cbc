# Shared helpers for the toolchain tests: tool lookup, snapshots of an image as independent
# readers see it, and the checks that compare an embedded image with its original.
# Sourced by the test scripts; every check ends the test with a message on failure.

set -euo pipefail

readonly SKIP_STATUS=77
INPUTS=$(cd "$(dirname "${BASH_SOURCE[0]}")/inputs" && pwd)
readonly INPUTS

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# CI installs every tool, so there a missing one is an error, not a reason to skip.
skip() {
  [[ -z ${TARVISK_TOOLCHAIN_REQUIRED:-} ]] || fail "$* (TARVISK_TOOLCHAIN_REQUIRED is set)"
  echo "SKIP: $*"
  exit "$SKIP_STATUS"
}

# Debian ships the LLVM tools both plain and with a version suffix; take whichever exists.
# Sets the variable named by $1 to the command found for $2, or skips the test.
require_tool() {
  local var=$1 name=$2 candidate
  for candidate in "$name" "$name"-{20,19,18,17,16,15,14}; do
    if command -v "$candidate" >/dev/null 2>&1; then
      printf -v "$var" '%s' "$candidate"
      return 0
    fi
  done
  skip "required tool '$name' is not installed"
}

require_llvm_readers() {
  require_tool READOBJ llvm-readobj
  require_tool OBJDUMP llvm-objdump
  require_tool NM llvm-nm
}

# A private scratch directory, removed at exit unless TARVISK_KEEP_WORK is set.
enter_workdir() {
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvisk-toolchain.XXXXXX")
  if [[ -z ${TARVISK_KEEP_WORK:-} ]]; then
    trap 'rm -rf "$WORK"' EXIT
  else
    echo "work directory kept: $WORK"
  fi
  cp "$INPUTS"/* "$WORK"/
  cd "$WORK"
}

check_tarvisk() {
  TARVISK=${1:-}
  [[ -n $TARVISK ]] || fail "usage: $0 <path-to-tarvisk> ..."
  [[ -x $TARVISK ]] || fail "tarvisk binary '$TARVISK' is not executable"
}

# Manifests of different sizes and shapes, so that successive runs replace the entry with a
# smaller and a larger one: the large one no longer fits in the resource section's slack.
write_manifests() {
  cat >small.manifest <<'EOF'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Tarvisk.Toolchain.Small" version="1.0.0.0"/>
</assembly>
EOF
  {
    printf '\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
    printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\r\n'
    printf '  <assemblyIdentity type="win32" name="Tarvisk.Toolchain.Large" version="2.0.0.0"/>\r\n'
    printf '  <!-- padding so the resource section has to grow: \xc3\xa4\xc3\xb6\xc3\xbc\r\n'
    local i
    for ((i = 0; i < 150; i++)); do
      printf '       line %03d of filler text that only makes this manifest large\r\n' "$i"
    done
    printf '  -->\r\n</assembly>\r\n'
  } >large.manifest
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>' \
    >tiny.manifest
}

# Runs tarvisk and holds it to its exact success contract.
embed() {
  local image=$1 manifest=$2 status=0
  "$TARVISK" "$image" "$manifest" >tarvisk.out 2>tarvisk.err || status=$?
  if ((status != 0)); then
    fail "tarvisk '$image' '$manifest' exited with $status; stderr: $(cat tarvisk.err)"
  fi
  printf '%s inserted into %s\n' "$manifest" "$image" >tarvisk.expected
  cmp -s tarvisk.out tarvisk.expected ||
    fail "tarvisk stdout was '$(cat tarvisk.out)', expected '$(cat tarvisk.expected)'"
  [[ ! -s tarvisk.err ]] || fail "tarvisk wrote to stderr on success: $(cat tarvisk.err)"
}

# Runs a reader that must accept the image without errors or warnings.
read_clean() {
  local out=$1
  shift
  local status=0
  "$@" >"$out" 2>reader.err || status=$?
  ((status == 0)) || fail "'$*' failed with $status: $(cat reader.err)"
  [[ ! -s reader.err ]] || fail "'$*' warned: $(cat reader.err)"
}

# One llvm-readobj run per image; the parsers below each take their block of its output.
readobj_dump() {
  read_clean "$2" "$READOBJ" --file-headers --sections --coff-resources "$1"
}

# One line per resource: type|name|language|codepage|size|data in hex. Directory stamps and
# data RVAs are left out: a rebuilt tree may change them without changing any resource.
resource_list() {
  local dump=$1 out=$2
  awk '
    /^Resources \[$/ { inside = 1; next }
    !inside { next }
    function flush() {
      if (pending) print type "|" name "|" lang "|" codepage "|" size "|" hex
      pending = 0
    }
    function label(line) {
      sub(/^ *[A-Za-z]+: /, "", line); sub(/ \[$/, "", line); return line
    }
    /^ *Type: .* \[$/     { flush(); type = label($0); next }
    /^ *Name: .* \[$/     { flush(); name = label($0); next }
    /^ *Language: .* \[$/ { flush(); lang = label($0); next }
    /^ *DataSize: /       { size = $2; next }
    /^ *Codepage: /       { codepage = $2; pending = 1; hex = ""; next }
    /^ *Data \($/         { indata = 1; next }
    indata && /^ *\)$/    { indata = 0; next }
    indata {
      # "0010: 77006F00 72006C00 ...  |w.o.r.l...|": the hex area is 35 columns wide.
      chunk = substr($0, index($0, ": ") + 2, 35); gsub(/ /, "", chunk); hex = hex chunk; next
    }
    END { flush() }
  ' "$dump" | LC_ALL=C sort >"$out"
}

# The loader binary-searches every resource directory, so entries must be stored named ones
# first, in ordinal order, then integer ones ascending. Prints each pair that is out of order.
resource_order_errors() {
  LC_ALL=C awk '
    function is_id(label) { return label ~ /\(ID [0-9]+\)$/ }
    function id_of(label) { sub(/^.*\(ID /, "", label); sub(/\)$/, "", label); return label + 0 }
    function in_order(a, b) {
      if (is_id(a) != is_id(b)) return is_id(b)
      return is_id(a) ? id_of(a) < id_of(b) : a < b
    }
    function check(level, label) {
      if (previous[level] != "" && !in_order(previous[level], label))
        print level ": \"" previous[level] "\" is stored before \"" label "\""
      previous[level] = label
    }
    function label(line) { sub(/^ *[A-Za-z]+: /, "", line); sub(/ \[$/, "", line); return line }
    /^Resources \[$/     { inside = 1; next }
    !inside              { next }
    /^ *Type: .* \[$/     { check("type", label($0)); previous["name"] = ""; next }
    /^ *Name: .* \[$/     { check("name", label($0)); previous["language"] = ""; next }
    /^ *Language: .* \[$/ { check("language", label($0)); next }
  ' "$1"
}

# The key tarvisk writes: type 24, name 1, language 0.
readonly MANIFEST_KEY_PATTERN='^[^|]*\(ID 24\)\|\(ID 1\)\|\(ID 0\)\|'

# Section table as name|VirtualAddress|VirtualSize|RawDataSize|PointerToRawData|Characteristics.
section_list() {
  local dump=$1 out=$2
  awk '
    /^Sections \[$/        { inside = 1; next }
    !inside                 { next }
    /^\]/                   { exit }
    /^ *Name: /             { name = $2 }
    /^ *VirtualSize: /      { vsize = $2 }
    /^ *VirtualAddress: /   { vaddr = $2 }
    /^ *RawDataSize: /      { rsize = $2 }
    /^ *PointerToRawData: / { rptr = $2 }
    /^ *Characteristics \[/ {
      flags = $0; sub(/^.*\(/, "", flags); sub(/\).*$/, "", flags)
      print name "|" vaddr "|" vsize "|" rsize "|" rptr "|" flags
    }
  ' "$dump" >"$out"
}

# Every "Field: value" line of the file headers, the data directories included.
header_fields() {
  local dump=$1 out=$2
  awk '
    /^(DOSHeader|Sections) /   { exit }
    /^ *[A-Za-z]+: [^ ]+$/ { sub(/^ */, ""); sub(/:/, ""); print }
  ' "$dump" >"$out"
}

header_value() {
  awk -v key="$2" '$1 == key { print $2; exit }' "$1"
}

# The PE checksum as the loader's image-help routine computes it: 16-bit one's-complement
# style sum over the file with the checksum field itself read as zero, plus the file length.
pe_checksum() {
  local image=$1 field
  field=$(($(od -An -tu4 -j60 -N4 "$image") + 24 + 64))
  od -An -v --endian=little -tu2 "$image" | awk -v field="$field" -v size="$(stat -c %s "$image")" '
    {
      for (i = 1; i <= NF; i++) {
        if (word != field / 2 && word != field / 2 + 1) {
          sum += $i; sum = sum % 65536 + int(sum / 65536)
        }
        word++
      }
    }
    END { printf "%08X\n", sum % 65536 + int(sum / 65536) + size }'
}

stored_checksum() {
  local image=$1 field
  field=$(($(od -An -tu4 -j60 -N4 "$image") + 24 + 64))
  printf '%08X\n' "$(od -An -tu4 -j"$field" -N4 "$image")"
}


# Everything about an image that an embedding must leave alone, saved under directory $2.
snapshot() {
  local image=$1 dir=$2
  mkdir -p "$dir"
  readobj_dump "$image" "$dir/readobj"
  resource_list "$dir/readobj" "$dir/resources.all"
  grep -Ev "$MANIFEST_KEY_PATTERN" "$dir/resources.all" >"$dir/resources" || true
  section_list "$dir/readobj" "$dir/sections"
  header_fields "$dir/readobj" "$dir/headers"
  read_clean "$dir/objdump" "$OBJDUMP" -h "$image"
  # Symbol values are section-relative, so the COFF symbol table must list identically.
  "$NM" "$image" >"$dir/symbols" 2>/dev/null || true
  stored_checksum "$image" >"$dir/checksum"
  stat -c %a "$image" >"$dir/mode"
}

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
  expected_hex=$(od -An -v -tx1 "$manifest" | tr -d ' \n' | tr 'a-f' 'A-F')
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

  local old_sum new_sum
  old_sum=$(cat "$before/checksum")
  new_sum=$(cat "$after/checksum")
  if [[ $old_sum == 00000000 ]]; then
    [[ $new_sum == 00000000 ]] || fail "$image: a zero checksum became $new_sum"
  else
    [[ $new_sum == $(pe_checksum "$image") ]] ||
      fail "$image: stored checksum $new_sum, computed $(pe_checksum "$image")"
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

# Builds app.exe in the current directory from the inputs.
#   clang variants (no C runtime, lld-link): plain, rsrc
#   mingw variants: plain, rsrc (windres), debug (-g), stripped (-s)
build_image() {
  case $1 in
    clang) build_clang "$2" "$3" ;;
    mingw) build_mingw "$2" "$3" ;;
    *) fail "unknown toolchain $1" ;;
  esac
}

build_clang() {
  local arch=$1 variant=$2
  require_tool CLANG clang
  require_tool LLD_LINK lld-link
  require_tool DLLTOOL llvm-dlltool
  local machine def=kernel32.def
  case $arch in
    i686) machine=i386 ;;
    x86_64)
      machine=i386:x86-64
      # 64-bit exports carry no stdcall decoration.
      sed 's/@[0-9]*$//' kernel32.def >kernel32_64.def
      def=kernel32_64.def
      ;;
    *) fail "unknown architecture $arch" ;;
  esac
  "$DLLTOOL" -m "$machine" -k -d "$def" -l kernel32.lib
  "$CLANG" --target="$arch-pc-windows-msvc" -O1 -c bare.c -o bare.obj
  local extra=()
  case $variant in
    plain) ;;
    rsrc)
      require_tool LLVM_RC llvm-rc
      "$LLVM_RC" /fo resources.res resources.rc
      extra=(resources.res)
      ;;
    *) fail "unknown clang variant $variant" ;;
  esac
  "$LLD_LINK" /subsystem:console /entry:entry /nodefaultlib bare.obj kernel32.lib "${extra[@]}" \
    /out:app.exe
}

build_mingw() {
  local arch=$1 variant=$2
  case $arch in
    i686 | x86_64) ;;
    *) fail "unknown architecture $arch" ;;
  esac
  require_tool GCC "$arch-w64-mingw32-gcc"
  local flags=() objects=()
  case $variant in
    plain) ;;
    rsrc) flags=(-O2) ;;
    debug) flags=(-g -O0) ;;
    stripped) flags=(-s -O2) ;;
    *) fail "unknown mingw variant $variant" ;;
  esac
  if [[ $variant != plain ]]; then
    require_tool WINDRES "$arch-w64-mingw32-windres"
    "$WINDRES" resources.rc -O coff -o resources.o
    objects=(resources.o)
  fi
  "$GCC" "${flags[@]}" console.c "${objects[@]}" -o app.exe
}

# Embeds three manifests in turn (small, large, tiny) and checks the image after each one;
# then replays the same runs on a fresh copy, which must come out byte for byte the same.
embed_and_check_all() {
  local image=$1 replay=replay-$1
  local manifests=(small.manifest large.manifest tiny.manifest)
  write_manifests
  cp -p "$image" "$image.orig"
  cp -p "$image" "$replay"
  snapshot "$image" before
  local manifest round=0
  for manifest in "${manifests[@]}"; do
    round=$((round + 1))
    embed "$image" "$manifest"
    check_embedded "$image" "$manifest" before "after$round"
  done
  for manifest in "${manifests[@]}"; do
    embed "$replay" "$manifest"
  done
  cmp -s "$image" "$replay" || fail "$image: the same runs on a copy gave different bytes"
}
