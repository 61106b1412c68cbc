# Helpers every shell test suite uses, sourced first by each suite's own lib.sh.
# shellcheck shell=bash

set -euo pipefail

# CTest's SKIP_RETURN_CODE for every shell suite.
readonly SKIP_STATUS=77

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# A suite whose CI installs every tool it needs names its switch in REQUIRED_SWITCH (say
# TARVISK_TOOLCHAIN_REQUIRED): with that set, a missing tool is a fault there, not a skip.
skip() {
  if [[ -n ${REQUIRED_SWITCH:-} && -n ${!REQUIRED_SWITCH:-} ]]; then
    fail "$* ($REQUIRED_SWITCH is set)"
  fi
  echo "SKIP: $*"
  exit "$SKIP_STATUS"
}

# Debian ships the LLVM tools both plain and with a version suffix; take whichever exists.
# Sets the variable named by $1 to the command found for $2; returns 1 when there is none.
find_tool() {
  local var=$1 name=$2 candidate
  for candidate in "$name" "$name"-{20,19,18,17,16,15,14}; do
    if command -v "$candidate" >/dev/null 2>&1; then
      printf -v "$var" '%s' "$candidate"
      return 0
    fi
  done
  return 1
}

require_tool() {
  find_tool "$1" "$2" || skip "required tool '$2' is not installed"
}

# A private scratch directory from the mktemp template $1, entered. It goes at exit unless
# TARVISK_KEEP_WORK is set, so that a failure can be looked at afterwards.
enter_scratch() {
  WORK=$(mktemp -d "$1")
  if [[ -z ${TARVISK_KEEP_WORK:-} ]]; then
    trap remove_scratch EXIT
  else
    echo "work directory kept: $WORK"
  fi
  cd "$WORK"
}

# For exit traps of their own that must also clean up after enter_scratch.
remove_scratch() {
  [[ -n ${TARVISK_KEEP_WORK:-} ]] || rm -rf "$WORK"
}

# A file's bytes as one line of upper-case hex, the form resource_rows gives data in.
hex_of() {
  od -An -v -tx1 "$1" | tr -d ' \n' | tr 'a-f' 'A-F'
}

# One line per resource in llvm-readobj --coff-resources output (the files named, - for standard
# input; other dumps around it are passed over), in stored order:
#   type|name|language|codepage|size|data in hex
# Directory stamps and data RVAs are left out: a rebuilt tree may move them without changing
# any resource.
resource_rows() {
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
      # "0010: 3C3F786D 6C207665 ...  |<?xml ve...|": the hex area is 35 columns wide.
      chunk = substr($0, index($0, ": ") + 2, 35); gsub(/ /, "", chunk); hex = hex chunk; next
    }
    END { flush() }
  ' "$@"
}

# Little-endian 32-bit value at byte offset $2 of file $1, in decimal.
u32_at() {
  od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '
}

# Offsets of the optional header and of its CheckSum field.
optional_header_at() {
  echo $(($(u32_at "$1" 60) + 24))
}

checksum_at() {
  echo $(($(optional_header_at "$1") + 64))
}

# The PE checksum as the system computes it, in decimal: a 16-bit sum with end-around carry
# over the file, the checksum field itself read as zero, plus the file's length.
pe_checksum() {
  local image=$1
  od -An -v --endian=little -tu2 "$image" |
    awk -v field="$(checksum_at "$image")" -v size="$(stat -c %s "$image")" '
      {
        for (i = 1; i <= NF; i++) {
          if (pos != field && pos != field + 2) { sum += $i; sum = sum % 65536 + int(sum / 65536) }
          pos += 2
        }
      }
      END { printf "%u\n", sum + size }'
}

# Wine for console programs only, in prefix $1: no debug chatter, no display, and no offers
# to install Mono or Gecko (they would try to download).
use_wine_prefix() {
  export WINEPREFIX=$1
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
}

# Wine's two loaders. Debian's `wine` starts the 32-bit loader whenever it is installed, and a
# kernel that runs 64-bit code only refuses that loader outright ("Exec format error"), even for
# a 64-bit program or wineboot. So 64-bit programs go straight to the 64-bit loader, and only
# 32-bit programs need the 32-bit one (native, or emulated through binfmt_misc). Sets WINE64
# and WINE32 (either may be empty); returns 1 when there is no 64-bit loader or no wineserver.
find_wine_loaders() {
  local candidate
  WINE64= WINE32=
  for candidate in "$(command -v wine64 2>/dev/null || true)" /usr/lib/wine/wine64 /usr/lib64/wine/wine64 \
    /opt/wine-stable/bin/wine64; do
    if [[ -n $candidate && -x $candidate ]]; then WINE64=$candidate && break; fi
  done
  for candidate in /usr/lib/wine/wine /usr/lib32/wine/wine /opt/wine-stable/bin/wine; do
    if [[ -x $candidate ]]; then WINE32=$candidate && break; fi
  done
  [[ -n $WINE64 ]] && command -v wineserver >/dev/null 2>&1
}

# Empty when 32-bit Windows programs can run here; otherwise the reason they cannot.
# Call find_wine_loaders first.
why_no_wine32() {
  local err
  if [[ -z $WINE32 ]]; then
    echo "Wine's 32-bit loader is not installed (Debian: wine32:i386)"
    return 0
  fi
  if err=$("$WINE32" --version 2>&1 >/dev/null); then return 0; fi
  case $err in
    *"Exec format error"*)
      echo "this kernel runs 64-bit programs only (Exec format error) and no emulator is registered" \
        "for 32-bit ones; as root, 'bash .ci/enable-i386.sh' registers qemu-user for them" ;;
    *) echo "Wine's 32-bit loader $WINE32 does not start: ${err//$'\n'/ }" ;;
  esac
}

# How 32-bit programs run here: "emulated" when an emulator registered with binfmt_misc takes
# them (much slower: a Wine prefix takes minutes to boot), "native" otherwise.
i386_mode() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $entry && $entry != */status && $entry != */register ]] || continue
    if grep -qx enabled "$entry" && grep -q '^magic 7f454c460101010000000000000000000[23]000300' "$entry" &&
      grep -q '^interpreter .*qemu' "$entry"; then
      echo emulated
      return 0
    fi
  done
  echo native
}

# The machine a PE image is built for: i386, x86_64 or other.
pe_machine() {
  local coff
  coff=$(($(u32_at "$1" 60) + 4))
  case $(od -An -tu2 -j"$coff" -N2 "$1" | tr -d ' ') in
    332) echo i386 ;;
    34404) echo x86_64 ;;
    *) echo other ;;
  esac
}

# Skips for a reason of the machine, not of the installation: even where Wine is required, a
# kernel that cannot run 32-bit programs is no fault of the tree.
skip_for_machine() {
  echo "SKIP: $*"
  exit "$SKIP_STATUS"
}

# Skips the test because 32-bit Windows programs cannot run here, for the reason given. A
# missing 32-bit loader is a missing tool (a failure where Wine is required); a kernel that
# cannot run it is not.
skip_without_wine32() {
  if [[ -z $WINE32 ]]; then skip "$1"; fi
  skip_for_machine "32-bit Windows programs cannot run here: $1"
}

# Skips the test unless 32-bit Windows programs can run here.
require_wine32() {
  local why
  why=$(why_no_wine32)
  [[ -n $why ]] || return 0
  skip_without_wine32 "$why"
}

# Runs a Windows program in the current directory: run_wine <name> <exe> [args...], under
# $WINE if set, otherwise under the loader for the program's machine (see find_wine_loaders).
# Its streams go to <name>.out and <name>.err (files, never pipes: Wine's console handling
# blocks on pipes nobody drains); its status is left in RUN_STATUS.
#
# Now and then, with other Wine processes busy in the same prefix, Wine fails to start a program
# at all, and the same file starts on the next try. It says "ShellExecuteEx failed: Internal
# error", or it exits with a failing status without a byte on either stream (status 1, a few
# times in a hundred runs of the Wine tests with two at once). Only those are tried again:
# every program run here prints what it did or why it failed, so a silent failure is one that
# never ran, and nothing it would have done is hidden. An image Wine cannot load fails every try.
run_wine() {
  local name=$1 attempt loader=${WINE:-}
  shift
  if [[ -z $loader ]]; then
    [[ -n ${WINE64+set} ]] || find_wine_loaders || true
    loader=${WINE64:-wine}
    if [[ -f $1 && $(pe_machine "$1") == i386 ]]; then loader=${WINE32:-wine}; fi
  fi
  for attempt in 1 2 3; do
    RUN_STATUS=0
    timeout "${WINE_RUN_TIMEOUT:-120}" "$loader" "$@" >"$name.out" 2>"$name.err" </dev/null || RUN_STATUS=$?
    ((RUN_STATUS != 124)) || fail "'$*' did not finish under Wine within ${WINE_RUN_TIMEOUT:-120} s"
    ((RUN_STATUS != 0)) || return 0
    if [[ -s $name.out || -s $name.err ]] && ! grep -qs "ShellExecuteEx failed" "$name.out" "$name.err"; then return 0; fi
    echo "note: Wine could not start '$1' (try $attempt, exit status $RUN_STATUS): $(tr -d '\r' <"$name.err" | tr '\n' ' ')" >&2
    sleep 1
  done
}
