#!/usr/bin/env bash
# CI for the Windows builds: both presets built as a user builds them, then the Wine tests,
# which build their own tarvisk.exe variants and refuse to skip. Needs, on Debian 12:
#   dpkg --add-architecture i386 && apt-get update &&
#   apt-get install -y wine wine64 wine32:i386 llvm \
#     g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
# Usage (from anywhere): bash tests/wine/ci.sh
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."

for preset in windows-x86 windows-x64; do
  printf '\n==== Windows build: preset %s ====\n' "$preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j2
done

printf '\n==== Wine tests ====\n'
cmake --preset default
cmake --build --preset default --target tarvisk -j2
TARVISK_WINE_REQUIRED=1 ctest --preset default -R '^wine\.' --no-tests=error
