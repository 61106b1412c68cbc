#!/usr/bin/env bash
# Makes a local apt repository (a file: source) holding the given packages, for checks that
# must not reach the network. With --wrong-size its Release lists each index a few bytes larger
# than it is, as a mirror caught mid-sync serves it, so `apt-get update` fails for that index
# alone.
#
# usage: packaging/local-apt-repo.sh [--wrong-size] <dir> <suite> [<package.deb>...]
#   Prints the one-line source for it: deb [trusted=yes] file:<dir> <suite> main
set -euo pipefail

lie=0
if [[ ${1:-} == --wrong-size ]]; then
  lie=7
  shift
fi
(($# >= 2)) || { echo "usage: local-apt-repo.sh [--wrong-size] <dir> <suite> [<package.deb>...]" >&2; exit 2; }
dir=$(realpath -m "$1")
suite=$2
shift 2

mkdir -p "$dir/pool/$suite"
for deb in "$@"; do cp "$deb" "$dir/pool/$suite/"; done

for arch in amd64 i386; do
  index=$dir/dists/$suite/main/binary-$arch
  mkdir -p "$index"
  (
    cd "$dir"
    for deb in pool/"$suite"/*.deb; do
      [[ -f $deb ]] || continue
      dpkg-deb -f "$deb"
      printf 'Filename: %s\nSize: %s\nSHA256: %s\n\n' "$deb" "$(stat -c %s "$deb")" "$(sha256sum "$deb" | cut -d' ' -f1)"
    done
  ) >"$index/Packages"
done

{
  printf 'Origin: local\nSuite: %s\nCodename: %s\nArchitectures: amd64 i386\nComponents: main\n' "$suite" "$suite"
  printf 'Date: %s\nSHA256:\n' "$(LC_ALL=C date -u -R)"
  cd "$dir/dists/$suite"
  for index in main/binary-*/Packages; do
    printf ' %s %s %s\n' "$(sha256sum "$index" | cut -d' ' -f1)" $(($(stat -c %s "$index") + lie)) "$index"
  done
} >"$dir/dists/$suite/Release"

echo "deb [trusted=yes] file:$dir $suite main"
