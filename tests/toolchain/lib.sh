# Helpers for the toolchain tests: the images under test and the tarvisk runs, on top of the
# helpers all suites share. Sourced by the test scripts; failures end the test with a message.
# shellcheck shell=bash

# shellcheck source=../lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
# CI installs every tool, so there a missing one is an error, not a reason to skip.
REQUIRED_SWITCH=TARVISK_TOOLCHAIN_REQUIRED

INPUTS=$(cd "$(dirname "${BASH_SOURCE[0]}")/inputs" && pwd)
readonly INPUTS
# shellcheck source=readers.sh
source "$(dirname "${BASH_SOURCE[0]}")/readers.sh"
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

require_llvm_readers() {
  require_tool READOBJ llvm-readobj
  require_tool OBJDUMP llvm-objdump
  require_tool NM llvm-nm
}

# A private scratch directory with the inputs, removed at exit unless TARVISK_KEEP_WORK is set.
enter_workdir() {
  enter_scratch "${TMPDIR:-/tmp}/tarvisk-toolchain.XXXXXX"
  cp "$INPUTS"/* .
}

check_tarvisk() {
  TARVISK=${1:-}
  [[ -n $TARVISK ]] || fail "usage: $0 <path-to-tarvisk> ..."
  [[ -x $TARVISK ]] || fail "tarvisk binary '$TARVISK' is not executable"
}

# Manifests of different sizes and shapes, so that successive runs replace the entry with a
# smaller and a larger one: the large one no longer fits in the resource section's slack.
write_manifests() {
  cat >small.manifest <<'EOF'
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="Tarvisk.Toolchain.Small" version="1.0.0.0"/>
</assembly>
EOF
  {
    printf '\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
    printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\r\n'
    printf '  <assemblyIdentity type="win32" name="Tarvisk.Toolchain.Large" version="2.0.0.0"/>\r\n'
    printf '  <!-- padding so the resource section has to grow: \xc3\xa4\xc3\xb6\xc3\xbc\r\n'
    local i
    for ((i = 0; i < 150; i++)); do
      printf '       line %03d of filler text that only makes this manifest large\r\n' "$i"
    done
    printf '  -->\r\n</assembly>\r\n'
  } >large.manifest
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>' \
    >tiny.manifest
}

# Runs tarvisk and holds it to its exact success contract.
embed() {
  local image=$1 manifest=$2 status=0
  "$TARVISK" "$image" "$manifest" >tarvisk.out 2>tarvisk.err || status=$?
  if ((status != 0)); then
    fail "tarvisk '$image' '$manifest' exited with $status; stderr: $(cat tarvisk.err)"
  fi
  printf '%s inserted into %s\n' "$manifest" "$image" >tarvisk.expected
  cmp -s tarvisk.out tarvisk.expected ||
    fail "tarvisk stdout was '$(cat tarvisk.out)', expected '$(cat tarvisk.expected)'"
  [[ ! -s tarvisk.err ]] || fail "tarvisk wrote to stderr on success: $(cat tarvisk.err)"
}

# Builds app.exe in the current directory from the inputs.
#   clang variants (no C runtime, lld-link): plain, rsrc
#   mingw variants: plain, rsrc (windres), debug (-g), stripped (-s)
build_image() {
  case $1 in
    clang) build_clang "$2" "$3" ;;
    mingw) build_mingw "$2" "$3" ;;
    *) fail "unknown toolchain $1" ;;
  esac
}

build_clang() {
  local arch=$1 variant=$2
  require_tool CLANG clang
  require_tool LLD_LINK lld-link
  require_tool DLLTOOL llvm-dlltool
  local machine def=kernel32.def
  case $arch in
    i686) machine=i386 ;;
    x86_64)
      machine=i386:x86-64
      # 64-bit exports carry no stdcall decoration.
      sed 's/@[0-9]*$//' kernel32.def >kernel32_64.def
      def=kernel32_64.def
      ;;
    *) fail "unknown architecture $arch" ;;
  esac
  "$DLLTOOL" -m "$machine" -k -d "$def" -l kernel32.lib
  "$CLANG" --target="$arch-pc-windows-msvc" -O1 -c bare.c -o bare.obj
  local extra=()
  case $variant in
    plain) ;;
    rsrc)
      require_tool LLVM_RC llvm-rc
      "$LLVM_RC" /fo resources.res resources.rc
      extra=(resources.res)
      ;;
    *) fail "unknown clang variant $variant" ;;
  esac
  "$LLD_LINK" /subsystem:console /entry:entry /nodefaultlib bare.obj kernel32.lib "${extra[@]}" \
    /out:app.exe
}

build_mingw() {
  local arch=$1 variant=$2
  case $arch in
    i686 | x86_64) ;;
    *) fail "unknown architecture $arch" ;;
  esac
  require_tool GCC "$arch-w64-mingw32-gcc"
  local flags=() objects=()
  case $variant in
    plain) ;;
    rsrc) flags=(-O2) ;;
    debug) flags=(-g -O0) ;;
    stripped) flags=(-s -O2) ;;
    *) fail "unknown mingw variant $variant" ;;
  esac
  if [[ $variant != plain ]]; then
    require_tool WINDRES "$arch-w64-mingw32-windres"
    "$WINDRES" resources.rc -O coff -o resources.o
    objects=(resources.o)
  fi
  "$GCC" "${flags[@]}" console.c "${objects[@]}" -o app.exe
}

# Embeds three manifests in turn (small, large, tiny) and checks the image after each one;
# then replays the same runs on a fresh copy, which must come out byte for byte the same.
embed_and_check_all() {
  local image=$1 replay=replay-$1
  local manifests=(small.manifest large.manifest tiny.manifest)
  write_manifests
  cp -p "$image" "$image.orig"
  cp -p "$image" "$replay"
  snapshot "$image" before
  local manifest round=0
  for manifest in "${manifests[@]}"; do
    round=$((round + 1))
    embed "$image" "$manifest"
    check_embedded "$image" "$manifest" before "after$round"
  done
  for manifest in "${manifests[@]}"; do
    embed "$replay" "$manifest"
  done
  cmp -s "$image" "$replay" || fail "$image: the same runs on a copy gave different bytes"
}
