# Shared by the Wine tests: the state that setup.sh leaves behind, running Windows programs
# under Wine with their output in files, and reading images back with llvm-readobj.
# Sourced by the test scripts; every check ends the test with a message on failure.

set -euo pipefail

readonly SKIP_STATUS=77

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  [[ -z ${TARVISK_WINE_REQUIRED:-} ]] || fail "$* (TARVISK_WINE_REQUIRED is set)"
  echo "SKIP: $*"
  exit "$SKIP_STATUS"
}

# A deliberate difference between Wine's resource-update service and Tarvisk's, shown in
# the test log so that it is seen rather than hidden.
known_difference() {
  echo "known difference: $*"
}

# $1: the state directory setup.sh filled. Skips when setup found no Wine or no mingw-w64.
use_state() {
  STATE=$(realpath -m "${1:?state directory}")
  [[ -d $STATE ]] || fail "no state directory $STATE: run the wine.setup test first"
  if [[ -f $STATE/skip ]]; then skip "$(cat "$STATE/skip")"; fi
  [[ -f $STATE/ready ]] || fail "setup did not finish: see $STATE/setup.log"
  BIN=$STATE/bin
  READOBJ=$(cat "$STATE/readobj")
  wine_environment
}

# The prefix setup.sh made; no display, and no offers to install Mono or Gecko.
wine_environment() {
  export WINEPREFIX=$STATE/prefix
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

# A private scratch directory inside the state directory, removed at exit unless
# TARVISK_KEEP_WORK is set.
enter_workdir() {
  WORK=$(mktemp -d "$STATE/work.XXXXXX")
  if [[ -z ${TARVISK_KEEP_WORK:-} ]]; then
    trap 'rm -rf "$WORK"' EXIT
  else
    echo "work directory kept: $WORK"
  fi
  cd "$WORK"
}

# Runs a Windows program in the current directory: run_wine <name> <exe> [args...].
# Its streams go to <name>.out and <name>.err (files, never pipes: Wine's console handling
# blocks on pipes nobody drains); its status is left in RUN_STATUS.
run_wine() {
  local name=$1
  shift
  RUN_STATUS=0
  timeout 120 wine "$@" >"$name.out" 2>"$name.err" </dev/null || RUN_STATUS=$?
  ((RUN_STATUS != 124)) || fail "'$*' did not finish under Wine within 120 s"
}

# One line per resource: type|name|language|codepage|size|data in hex, sorted. Directory
# stamps and data RVAs are left out: a rebuilt tree may move them without changing a resource.
resource_list() {
  local image=$1 out=$2 status=0
  "$READOBJ" --coff-resources "$image" >"$out.raw" 2>"$out.warnings" || status=$?
  ((status == 0)) || fail "llvm-readobj could not read the resources of $image: $(cat "$out.warnings")"
  [[ ! -s $out.warnings ]] || fail "llvm-readobj warned about $image: $(cat "$out.warnings")"
  awk '
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
      # "0010: 3C3F786D 6C207665 ...  |<?xml ve...|": the hex area is 35 columns wide.
      chunk = substr($0, index($0, ": ") + 2, 35); gsub(/ /, "", chunk); hex = hex chunk; next
    }
    END { flush() }
  ' "$out.raw" | LC_ALL=C sort >"$out"
}

# The manifest as the tool stores it: type 24, name 1, language 0, with these bytes.
manifest_line() {
  local manifest=$1 hex
  hex=$(od -An -v -tx1 "$manifest" | tr -d ' \n' | tr 'a-f' 'A-F')
  printf 'MANIFEST (ID 24)|(ID 1)|(ID 0)|0|%s|%s\n' "$(stat -c %s "$manifest")" "$hex"
}

u32_at() {
  od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '
}

# Writes a little-endian 32-bit value at a file offset, in place.
put_u32() {
  local file=$1 offset=$2 value=$3
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((value & 255)) $(((value >> 8) & 255)) \
    $(((value >> 16) & 255)) $(((value >> 24) & 255)))" |
    dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# Offsets of header fields: the optional header, its CheckSum, and data directory $2.
optional_header_at() {
  echo $(($(u32_at "$1" 60) + 24))
}

checksum_at() {
  echo $(($(optional_header_at "$1") + 64))
}

data_directory_at() {
  local image=$1 index=$2 optional magic
  optional=$(optional_header_at "$image")
  magic=$(od -An -tu2 -j"$optional" -N2 "$image" | tr -d ' ')
  if ((magic == 0x20b)); then
    echo $((optional + 112 + 8 * index))
  else
    echo $((optional + 96 + 8 * index))
  fi
}

# The PE checksum as the system computes it: a 16-bit sum with end-around carry over the
# file, the checksum field itself read as zero, plus the file's length.
pe_checksum() {
  local image=$1
  od -An -v -tu2 "$image" | awk -v field="$(checksum_at "$image")" -v size="$(stat -c %s "$image")" '
    {
      for (i = 1; i <= NF; i++) {
        if (pos != field && pos != field + 2) { sum += $i; sum = sum % 65536 + int(sum / 65536) }
        pos += 2
      }
    }
    END { printf "%u\n", sum + size }'
}

# Wine's service, when it grows .rsrc and shifts the sections after it, moves the COFF symbol
# table with them but leaves PointerToSymbolTable at the old place, so long section names
# ("/4" for .eh_frame) resolve into the wrong bytes and readers reject the image.
# True when $2, made from $1, shows exactly that.
symbol_table_left_behind() {
  local original=$1 image=$2 coff pointer
  coff=$(($(u32_at "$original" 60) + 4))
  pointer=$(u32_at "$original" $((coff + 8)))
  (($(u32_at "$original" $((coff + 12))) != 0 && pointer != 0)) || return 1
  coff=$(($(u32_at "$image" 60) + 4))
  (($(u32_at "$image" $((coff + 8))) == pointer)) || return 1
  ! cmp -s <(tail -c +$((pointer + 1)) "$original" | head -c 18) <(tail -c +$((pointer + 1)) "$image" | head -c 18)
}
