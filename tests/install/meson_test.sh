#!/usr/bin/env bash
# examples/meson-mingw as its README builds it: Meson with the cross file for Debian's
# mingw-w64 and tarvisk found with find_program. The built program carries the manifest and
# the linked one does not; a build with nothing changed runs nothing; an edited manifest is
# embedded again. Then the program runs under 64-bit Wine, in a prefix of its own, and must
# find its manifest in itself.
#
# usage: meson_test.sh <source-dir> <tarvisk>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

source_dir=$(realpath "${1:?usage: $0 <source-dir> <tarvisk>}")
tarvisk=$(realpath "${2:?}")
require_tool MESON meson
require_tool NINJA ninja
require_tool MINGW_CC x86_64-w64-mingw32-gcc
require_tool READOBJ llvm-readobj
enter_workdir

cp -r "$source_dir/examples/meson-mingw" example
# How a user names a tarvisk that is not on PATH.
printf "[binaries]\ntarvisk = '%s'\n" "$tarvisk" >native.ini
"$MESON" setup build example --cross-file example/mingw-w64-x86_64.ini --native-file native.ini >setup.log 2>&1 ||
  fail "meson setup failed: $(tail -20 setup.log)"

compile() {
  "$MESON" compile -C build >"$1" 2>&1 || fail "meson compile failed: $(tail -20 "$1")"
}
compile build1.log
grep -q "app.manifest inserted into show-manifest.exe" build1.log || fail "the build did not run tarvisk: $(tail -10 build1.log)"
check_manifest_in build/show-manifest.exe example/app.manifest
[[ -z $(manifest_hex build/show-manifest-linked.exe) ]] || fail "the step changed the linked program in place"
compile build2.log
! grep -q "inserted into" build2.log || fail "a build with nothing changed ran tarvisk again"
sleep 1 # file systems with one-second timestamps
echo '<!-- edited -->' >>example/app.manifest
compile build3.log
check_manifest_in build/show-manifest.exe example/app.manifest
echo "meson built the example and tarvisk gave it its manifest, again after an edit"

# --- Under 64-bit Wine -----------------------------------------------------------------------
REQUIRED_SWITCH=TARVISK_WINE_REQUIRED
find_tool WINE64 wine64 || { [[ -x /usr/lib/wine/wine64 ]] && WINE64=/usr/lib/wine/wine64; } ||
  skip "64-bit Wine (wine64) is not installed: the built program was not run"
wine64=$(realpath "$(command -v "$WINE64")")
find_tool WINESERVER wineserver || skip "wineserver is not installed"
use_wine_prefix "$WORK/wineprefix"
PRIVATE_WINE=1
# Creating a 64-bit prefix also sets up its 32-bit half with Wine's 32-bit loader, which may
# be missing or (emulated) take minutes. A program of 64 bits needs none of it: where a private
# mount namespace can be had, the 32-bit loader is hidden so that Wine passes over that part.
loader32=$(dirname "$wine64")/wine
WINE=$wine64
if [[ -x $loader32 ]]; then
  printf 'not a program\n' >not-a-program
  cat >wine64-only <<WRAP
#!/bin/sh
exec unshare --mount --propagation private sh -c 'mount --bind "\$0" "$loader32" && exec "\$@"' "$WORK/not-a-program" "$wine64" "\$@"
WRAP
  chmod +x wine64-only
  if ./wine64-only --version >/dev/null 2>&1 ||
    { sed -i 's/exec unshare /exec unshare --user --map-root-user /' wine64-only && ./wine64-only --version >/dev/null 2>&1; }; then
    WINE=$WORK/wine64-only
  fi
fi
wine_run build/show-manifest.exe shown
check_show_manifest_output shown.out example/app.manifest
echo "PASS: the Meson example builds, embeds its manifest, and finds it in itself under 64-bit Wine"
