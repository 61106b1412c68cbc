#!/usr/bin/env bash
# Prepares a Wine test run: builds tarvisk.exe for 32- and 64-bit Windows with each service,
# builds the loader-check program in every variant, and makes the run's own Wine prefix.
#
# usage: setup.sh <state-dir> <builds-dir> <source-dir>
#   <state-dir> is made afresh; <builds-dir> keeps the Windows builds between runs.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

STATE=$(realpath -m "${1:?state directory}")
BUILDS=$(realpath -m "${2:?builds directory}")
SOURCE=$(realpath "${3:?source directory}")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

BIN=$STATE/bin
# A server left from an earlier run would keep serving the prefix about to be removed.
if [[ -d $STATE/prefix ]]; then WINEPREFIX=$STATE/prefix wineserver -k >/dev/null 2>&1 || true; fi
rm -rf "$STATE"
mkdir -p "$BIN" "$BUILDS"

# Without Wine or mingw-w64 there is nothing to run: every Wine test then skips.
not_available() {
  echo "$*" >"$STATE/skip"
  skip "$*"
}
for tool in wineserver cmake; do
  command -v "$tool" >/dev/null 2>&1 || not_available "'$tool' is not installed"
done
find_wine_loaders || not_available "Wine's 64-bit loader (wine64) is not installed"
# 32-bit programs are the tool's first platform, but a kernel may not run them: the tests that
# need them skip with this reason, and the others go on.
why_no_wine32 >"$STATE/no-wine32"
[[ -s $STATE/no-wine32 ]] || rm "$STATE/no-wine32"
echo "32-bit Windows programs: $(if [[ -f $STATE/no-wine32 ]]; then cat "$STATE/no-wine32"; else i386_mode; fi)"
for triplet in i686-w64-mingw32 x86_64-w64-mingw32; do
  for tool in "$triplet-gcc" "$triplet-windres"; do
    command -v "$tool" >/dev/null 2>&1 || not_available "'$tool' is not installed"
  done
done
find_tool READOBJ llvm-readobj || not_available "'llvm-readobj' is not installed"
command -v "$READOBJ" >"$STATE/readobj"

# The prefix boots while the builds run: its first start takes about 15 seconds.
use_wine_prefix "$STATE/prefix"
mkdir "$WINEPREFIX"
(
  # Kept running between the tests of this run, and gone a minute after the last one.
  wineserver -p60 >"$STATE/wineserver.out" 2>&1 </dev/null
  "$WINE64" wineboot --init >"$STATE/wineboot.out" 2>"$STATE/wineboot.err" </dev/null
) &
boot=$!

# The Windows builds go through the same presets a user would call; only the build directory
# and the service option differ.
for arch in x86 x64; do
  for service in system own; do
    dir=$BUILDS/$arch-$service
    own=OFF
    [[ $service == system ]] || own=ON
    # The default build also makes the download, as a user would: the package target.
    target=tarvisk
    [[ $service == own ]] || target=package
    log=$STATE/build-$arch-$service.log
    echo "building $target for $arch with the $service service"
    if ! (cd "$SOURCE" && cmake --preset "windows-$arch" -B "$dir" -DTARVISK_OWN_SERVICE=$own &&
      cmake --build "$dir" --target $target -j2) >"$log" 2>&1; then
      tail -40 "$log" >&2
      fail "the $arch build with the $service service failed (log: $log)"
    fi
    cp "$dir/src/tarvisk.exe" "$BIN/tarvisk-$arch-$service.exe"
    if [[ $service == system ]]; then cp "$dir"/tarvisk-*-win*.zip "$BIN/"; fi
  done
done

# The loader-check program: plain (the C runtime's own debug sections and a symbol table),
# stripped, built with debug information, and carrying resources of its own.
for triplet in i686-w64-mingw32 x86_64-w64-mingw32; do
  arch=${triplet%%-*}
  "$triplet-windres" -I "$HERE" "$HERE/resources.rc" -O coff -o "$STATE/resources-$arch.o"
  for variant in plain stripped debug rsrc; do
    flags=(-O2)
    extra=()
    case $variant in
      stripped) flags=(-O2 -s) ;;
      debug) flags=(-O0 -g) ;;
      rsrc) extra=("$STATE/resources-$arch.o") ;;
    esac
    "$triplet-gcc" "${flags[@]}" -Wall -Wextra "$HERE/find_manifest.c" "${extra[@]}" \
      -o "$BIN/find-manifest-$arch-$variant.exe"
  done
done

wait "$boot" || fail "Wine could not make its prefix: $(tail -5 "$STATE/wineboot.err")"
touch "$STATE/ready"
echo "PASS: Windows builds and Wine prefix ready in $STATE"
