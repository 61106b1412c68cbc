# How llvm-readobj, llvm-objdump and llvm-nm see an image, reduced to comparable listings.
# Sourced through lib.sh.
# shellcheck shell=bash

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

# The resources of a readobj_dump, sorted so that listings compare whatever the order.
resource_list() {
  resource_rows "$1" | LC_ALL=C sort >"$2"
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

# As the checks compare it: eight upper-case hex digits.
stored_checksum() {
  printf '%08X\n' "$(u32_at "$1" "$(checksum_at "$1")")"
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
  printf '%08X\n' "$(pe_checksum "$image")" >"$dir/computed_checksum"
  stat -c %a "$image" >"$dir/mode"
}
