#!/usr/bin/env bash
# Programs that read their own image or fill their headers exactly, given a manifest by tarvisk
# and then run under Wine: a UPX-packed mingw program (headers full to the first section's raw
# data, the first section a page up in memory) must still start and print; an NSIS installer
# built with its CRC check off must install, and the uninstaller it writes from its own image,
# patching its icon at file offsets recorded at build time, must run and remove what was
# installed.
#
# usage: packed_test.sh <tarvisk> upx <i686|x86_64>
#        packed_test.sh <tarvisk> nsis

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_tarvisk "${1:-}"
kind=${2:?upx or nsis}
arch=${3:-i686}

require_llvm_readers
case $kind in
  upx) require_tool UPX upx ;;
  nsis) require_tool MAKENSIS makensis ;;
  *) fail "unknown kind $kind" ;;
esac
if ! find_wine_loaders || ! find_tool WINESERVER wineserver; then
  skip "Wine or its 64-bit loader is not installed"
fi

enter_workdir
write_manifests
use_wine_prefix "$WORK/prefix"
stop_wine() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  remove_scratch
}
trap stop_wine EXIT

# Stores the manifest, holds the image to the same checks as every toolchain image, and the
# same runs on a copy give the same bytes.
embed_checked() {
  embed_and_check_all "$1"
  embed "$1" small.manifest
}

packed_upx() {
  build_image mingw "$arch" plain
  "$UPX" -q app.exe >upx.out 2>&1 || fail "upx could not pack the program: $(cat upx.out)"
  readobj_dump app.exe premise.readobj
  grep -q 'Name: UPX0' premise.readobj || fail "the packed program has no UPX0 section"
  embed_checked app.exe
  [[ $arch == x86_64 ]] || require_wine32
  run_wine run app.exe
  ((RUN_STATUS == 0)) || fail "the packed $arch program exited with $RUN_STATUS under Wine: $(tail -5 run.err)"
  grep -Eq "^started string=0: manifest=$(stat -c %s small.manifest)"$'\r?$' run.out ||
    fail "the packed $arch program printed '$(cat run.out)'"
  echo "PASS: UPX-packed $arch program runs after embedding"
}

# Installs silently into C:\<folder>, which must then hold the payload and the uninstaller.
install_with() {
  local setup=$1 folder=$2
  run_wine "install-$folder" "$setup" /S "/D=C:\\$folder"
  ((RUN_STATUS == 0)) || fail "$setup exited with $RUN_STATUS under Wine: $(tail -5 "install-$folder.err")"
  [[ -f $WINEPREFIX/drive_c/$folder/payload.txt && -f $WINEPREFIX/drive_c/$folder/uninstall.exe ]] ||
    fail "$setup installed nothing: $(ls -la "$WINEPREFIX/drive_c/$folder" 2>&1)"
}

packed_nsis() {
  printf 'installed by the test\r\n' >payload.txt
  cat >installer.nsi <<'NSI'
Unicode true
CRCCheck off
Name "Tarvisk NSIS test"
OutFile "setup.exe"
RequestExecutionLevel user
Section
  SetOutPath "$INSTDIR"
  File payload.txt
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd
Section "Uninstall"
  Delete "$INSTDIR\payload.txt"
SectionEnd
NSI
  "$MAKENSIS" -V1 installer.nsi >makensis.out 2>&1 || fail "makensis failed: $(tail -5 makensis.out)"
  cp setup.exe reference-setup.exe
  embed_checked setup.exe
  require_wine32
  # The uninstaller the untouched installer writes is the reference: the one written by the
  # installer that got a manifest must hold the same resources (the uninstaller's icon patched
  # over the installer's), or the recorded offsets pointed at moved bytes.
  install_with reference-setup.exe reference
  install_with setup.exe tarvisk-nsis
  local dir=$WINEPREFIX/drive_c/tarvisk-nsis
  snapshot "$WINEPREFIX/drive_c/reference/uninstall.exe" reference-uninstaller
  snapshot "$dir/uninstall.exe" uninstaller
  diff -u reference-uninstaller/resources uninstaller/resources >uninstaller.diff ||
    fail "the uninstaller's resources differ from those the untouched installer writes:
$(head -20 uninstaller.diff)"
  # _?= runs the uninstaller where it lies and waits for it, instead of a copy in the background.
  run_wine uninstall "$dir/uninstall.exe" /S '_?=C:\tarvisk-nsis'
  ((RUN_STATUS == 0)) || fail "the uninstaller exited with $RUN_STATUS under Wine: $(tail -5 uninstall.err)"
  [[ ! -e $dir/payload.txt ]] || fail "the uninstaller left what was installed"
  echo "PASS: NSIS installer installs after embedding and its uninstaller removes what it installed"
}

"packed_$kind"
