#!/usr/bin/env bash
# The ready-made manifests in examples/manifests.
#
#   xml:  each is well-formed XML (xmllint), commented, and holds exactly the settings its name
#         promises, in the namespaces the Windows loader reads (a setting in the wrong
#         namespace is silently ignored); the manual page and the README list every one.
#   wine: each, embedded by tarvisk into a mingw-built program, lets the program start under
#         Wine and find exactly those bytes as its manifest.
#
# usage: manifests_test.sh xml <manifest-dir> <man-page>
#        manifests_test.sh wine <manifest-dir> <tarvisk> <show-manifest.c>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mode=${1:-}
manifest_dir=$(cd "${2:?usage: $0 xml|wine <manifest-dir> ...}" && pwd)

readonly ASM_V1=urn:schemas-microsoft-com:asm.v1
readonly ASM_V3=urn:schemas-microsoft-com:asm.v3
readonly COMPAT=urn:schemas-microsoft-com:compatibility.v1
readonly WS2005=http://schemas.microsoft.com/SMI/2005/WindowsSettings
readonly WS2016=http://schemas.microsoft.com/SMI/2016/WindowsSettings
readonly WS2019=http://schemas.microsoft.com/SMI/2019/WindowsSettings

# XPath for an element by local name and namespace.
el() { printf "*[local-name()='%s' and namespace-uri()='%s'%s]" "$1" "$2" "${3:+ and $3}"; }

readonly ROOT="/$(el assembly "$ASM_V1" "@manifestVersion='1.0'")"
readonly SETTINGS="$ROOT/$(el application "$ASM_V3")/$(el windowsSettings "$ASM_V3")"
readonly LEVEL="$ROOT/$(el trustInfo "$ASM_V3")/$(el security "$ASM_V3")/$(el requestedPrivileges "$ASM_V3")/$(el requestedExecutionLevel "$ASM_V3")"
readonly OS="$ROOT/$(el compatibility "$COMPAT")/$(el application "$COMPAT")/$(el supportedOS "$COMPAT")"

# Each feature: an XPath that is true exactly when a manifest has it, completely and once.
declare -A FEATURE=(
  [comctl6]="count($ROOT/$(el dependency "$ASM_V1")/$(el dependentAssembly "$ASM_V1")/$(el assemblyIdentity "$ASM_V1" \
    "@type='win32' and @name='Microsoft.Windows.Common-Controls' and @version='6.0.0.0' and @processorArchitecture='*' and @publicKeyToken='6595b64144ccf1df' and @language='*'")) = 1"
  [permonitorv2]="count($SETTINGS/$(el dpiAwareness "$WS2016" "normalize-space()='PerMonitorV2, PerMonitor'")) = 1 and count($SETTINGS/$(el dpiAware "$WS2005" "normalize-space()='true/pm'")) = 1"
  [asinvoker]="count(//*[local-name()='requestedExecutionLevel']) = 1 and count($LEVEL[@level='asInvoker' and @uiAccess='false']) = 1"
  [administrator]="count(//*[local-name()='requestedExecutionLevel']) = 1 and count($LEVEL[@level='requireAdministrator' and @uiAccess='false']) = 1"
  [windows7to11]="count(//*[local-name()='supportedOS']) = 4 and count($OS[@Id='{35138b9a-5d96-4fbd-8e2d-a2440225f93a}']) = 1 and count($OS[@Id='{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}']) = 1 and count($OS[@Id='{1f676c76-80e1-4239-95bb-83d0f6d0da78}']) = 1 and count($OS[@Id='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}']) = 1"
  [longpaths]="count($SETTINGS/$(el longPathAware "$WS2016" "normalize-space()='true'")) = 1"
  [utf8]="count($SETTINGS/$(el activeCodePage "$WS2019" "normalize-space()='UTF-8'")) = 1"
)

# Each manifest and exactly the features it must have; any other feature must be absent.
declare -A MANIFEST=(
  [common-controls-v6.manifest]="comctl6"
  [dpi-per-monitor-v2.manifest]="permonitorv2"
  [as-invoker.manifest]="asinvoker"
  [require-administrator.manifest]="administrator"
  [supported-os.manifest]="windows7to11"
  [long-path-aware.manifest]="longpaths"
  [utf8-code-page.manifest]="utf8"
  [modern-desktop-app.manifest]="comctl6 permonitorv2 asinvoker windows7to11 longpaths utf8"
)

check_listed_files() {
  local file name
  for file in "$manifest_dir"/*.manifest; do
    name=$(basename "$file")
    [[ -n ${MANIFEST[$name]:-} ]] || fail "$name is not in this test's table: say what it must hold"
  done
  for name in "${!MANIFEST[@]}"; do
    [[ -f $manifest_dir/$name ]] || fail "$name is missing from $manifest_dir"
  done
}

check_xml() {
  local man_page=${1:?usage: $0 xml <manifest-dir> <man-page>}
  require_tool XMLLINT xmllint
  check_listed_files
  local name file feature wanted result checked=0
  for name in "${!MANIFEST[@]}"; do
    file=$manifest_dir/$name
    "$XMLLINT" --noout "$file" 2>&1 | head -5 >"$WORK/lint.out" || true
    [[ ! -s $WORK/lint.out ]] || fail "$name is not well-formed XML: $(cat "$WORK/lint.out")"
    head -n 1 "$file" | grep -q '^<?xml version="1.0" encoding="UTF-8" standalone="yes"?>' ||
      fail "$name does not start with the UTF-8 XML declaration"
    [[ $("$XMLLINT" --xpath "count(//comment()) > 0" "$file") == true ]] || fail "$name has no comment"
    [[ $("$XMLLINT" --xpath "count($ROOT) = 1" "$file") == true ]] ||
      fail "$name: the root is not an asm.v1 <assembly> with manifestVersion 1.0"
    for feature in "${!FEATURE[@]}"; do
      wanted=false
      [[ " ${MANIFEST[$name]} " == *" $feature "* ]] && wanted=true
      result=$("$XMLLINT" --xpath "${FEATURE[$feature]}" "$file" 2>&1) || true
      [[ $result == true || $result == false ]] || fail "the XPath for $feature does not evaluate: $result"
      [[ $result == "$wanted" ]] || {
        [[ $wanted == true ]] && fail "$name lacks $feature (or has it in the wrong namespace or twice)"
        fail "$name has $feature, which it must not"
      }
    done
    # The manual page and the README list every manifest (roff writes hyphens as \-). grep
    # reads to the end: with -q it could stop early and sed fail on the closed pipe (pipefail).
    sed 's/\\-/-/g' "$man_page" | grep -F "$name" >/dev/null || fail "the manual page does not list $name"
    grep -qF "\`$name\`" "$manifest_dir/README.md" || fail "examples/manifests/README.md does not list $name"
    checked=$((checked + 1))
  done
  echo "PASS: $checked manifests are valid XML and hold exactly what their names promise"
}

check_under_wine() {
  local tarvisk=${1:?usage: $0 wine <manifest-dir> <tarvisk> <show-manifest.c>}
  local program_source=${2:?usage: $0 wine <manifest-dir> <tarvisk> <show-manifest.c>}
  require_tool MINGW_CC x86_64-w64-mingw32-gcc
  require_tool READOBJ llvm-readobj
  use_wine || skip "Wine is not installed"
  check_listed_files

  "$MINGW_CC" -O2 -o show-manifest.exe "$program_source" || fail "cannot build the test program"
  local name status acp ran=0
  for name in $(printf '%s\n' "${!MANIFEST[@]}" | sort); do
    cp show-manifest.exe "${name%.manifest}.exe"
    status=0
    "$tarvisk" "${name%.manifest}.exe" "$manifest_dir/$name" >embed.out 2>embed.err || status=$?
    ((status == 0)) || fail "tarvisk failed on $name with $status: $(cat embed.err)"
    check_manifest_in "${name%.manifest}.exe" "$manifest_dir/$name"
    wine_run "${name%.manifest}.exe" "${name%.manifest}"
    check_show_manifest_output "${name%.manifest}.out" "$manifest_dir/$name"
    acp=$(head -n 1 "${name%.manifest}.out" | sed 's/.*active code page \([0-9]*\).*/\1/')
    # The loader really read the manifest, namespaces and all: the UTF-8 setting took effect.
    if [[ " ${MANIFEST[$name]} " == *" utf8 "* ]]; then
      [[ $acp == 65001 ]] || fail "$name should make the active code page 65001 (UTF-8), it is $acp"
    fi
    echo "$name: started under Wine and found its manifest (active code page $acp)"
    ran=$((ran + 1))
  done
  echo "PASS: $ran programs started under Wine with a ready-made manifest and found it"
}

# The work happens in a scratch directory: make the paths given absolute first.
args=()
for arg in "${@:3}"; do
  args+=("$(realpath "$arg")")
done
enter_workdir
case $mode in
  xml) check_xml "${args[@]}" ;;
  wine) check_under_wine "${args[@]}" ;;
  *) fail "usage: $0 xml|wine <manifest-dir> ..." ;;
esac
