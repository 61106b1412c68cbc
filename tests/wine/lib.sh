# Shared by the Wine tests: the state that setup.sh leaves behind, running Windows programs
# under Wine with their output in files, and reading images back with llvm-readobj.
# Sourced by the test scripts; every check ends the test with a message on failure.
# shellcheck shell=bash

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
REQUIRED_SWITCH=TARVISK_WINE_REQUIRED

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
  find_wine_loaders || fail "setup found Wine, but its 64-bit loader is gone"
  READOBJ=$(cat "$STATE/readobj")
  use_wine_prefix "$STATE/prefix"
}

# Skips the test when setup found that 32-bit Windows programs cannot run here.
need_wine32() {
  if [[ -f $STATE/no-wine32 ]]; then skip_without_wine32 "$(cat "$STATE/no-wine32")"; fi
}

# A private scratch directory inside the state directory, removed at exit unless
# TARVISK_KEEP_WORK is set.
enter_workdir() {
  enter_scratch "$STATE/work.XXXXXX"
}

# The resources of image $1 into file $2, one resource_rows line each, sorted. llvm-readobj
# must read them without a warning.
resource_list() {
  local image=$1 out=$2 status=0
  "$READOBJ" --coff-resources "$image" >"$out.raw" 2>"$out.warnings" || status=$?
  ((status == 0)) || fail "llvm-readobj could not read the resources of $image: $(cat "$out.warnings")"
  [[ ! -s $out.warnings ]] || fail "llvm-readobj warned about $image: $(cat "$out.warnings")"
  resource_rows "$out.raw" | LC_ALL=C sort >"$out"
}

# The manifest as the tool stores it: type 24, name 1, language 0, with these bytes.
manifest_line() {
  local manifest=$1
  printf 'MANIFEST (ID 24)|(ID 1)|(ID 0)|0|%s|%s\n' "$(stat -c %s "$manifest")" "$(hex_of "$manifest")"
}

# Writes a little-endian 32-bit value at a file offset, in place.
put_u32() {
  local file=$1 offset=$2 value=$3
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((value & 255)) $(((value >> 8) & 255)) \
    $(((value >> 16) & 255)) $(((value >> 24) & 255)))" |
    dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}

# File offset of the optional header's data directory entry $2.
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
