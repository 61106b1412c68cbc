# How llvm-readobj, llvm-objdump and llvm-nm see an image, reduced to comparable listings.
# Sourced through lib.sh.

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
