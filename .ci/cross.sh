#!/usr/bin/env bash
# CI stage: Tarvisk for other processors and the Windows download. Builds the linux-arm64 and
# linux-s390x presets and runs their tests under qemu-user (among them the check that each
# writes the very bytes the native tool writes), then makes both Windows zips. Installs nothing:
# it needs g++-aarch64-linux-gnu, g++-s390x-linux-gnu, libgtest-dev (its sources), qemu-user,
# mingw-w64 and zip. The Wine test of the unpacked zips is part of the default suite (wine.zip.*).
#
# usage: bash .ci/cross.sh [<junit.xml>]   (from anywhere; the tests' JUnit report, merged)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
junit=${1:-}
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

# Missing emulators, compilers or linkers fail here instead of skipping.
export TARVISK_CROSS_REQUIRED=1 TARVISK_TOOLCHAIN_REQUIRED=1

# The tool the cross builds must match byte for byte.
cmake --preset default
cmake --build --preset default --target tarvisk -j2

for preset in linux-arm64 linux-s390x; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset" --output-junit "$reports/$preset.xml"
done

for preset in windows-x86 windows-x64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" --target package -j2
done
ls -l build/windows-x86/tarvisk-*-win32.zip build/windows-x64/tarvisk-*-win64.zip

if [[ -n $junit ]]; then
  python3 - "$junit" "$reports"/*.xml <<'PY'
import sys
import xml.etree.ElementTree as ET
merged = ET.Element("testsuites")
for report in sys.argv[2:]:
    merged.append(ET.parse(report).getroot())
ET.ElementTree(merged).write(sys.argv[1], encoding="utf-8", xml_declaration=True)
PY
fi
