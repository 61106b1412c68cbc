#!/usr/bin/env bash
# Builds one real image with a Windows toolchain, embeds manifests into it with tarvisk and
# checks the result with LLVM's independent readers.
#
# usage: embed_test.sh <tarvisk> <clang|mingw> <i686|x86_64> <variant>
#   clang variants: plain, rsrc
#   mingw variants: plain, rsrc, debug, stripped

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_tarvisk "${1:-}"
toolchain=${2:?toolchain}
arch=${3:?architecture}
variant=${4:?variant}

require_llvm_readers

enter_workdir
build_image "$toolchain" "$arch" "$variant"

# Guard the premise of each variant, so a toolchain change cannot quietly weaken the test.
readobj_dump app.exe premise.readobj
header_fields premise.readobj premise.headers
section_list premise.readobj premise.sections
case $variant in
  plain)
    [[ $(header_value premise.headers ResourceTableRVA) == 0x0 ]] ||
      fail "the plain $toolchain image already has resources"
    ;;
  rsrc | debug | stripped)
    resource_list premise.readobj premise.resources
    grep -q '^[^|]*(ID 24)|(ID 1)|(ID 1033)|' premise.resources ||
      fail "the linked resources lack the US English manifest"
    ;;
esac
case $variant in
  debug)
    grep -q '^\.debug_info|' premise.sections || fail "the debug image has no .debug_info"
    [[ $(header_value premise.headers SymbolCount) != 0 ]] ||
      fail "the debug image has no COFF symbol table"
    ;;
  stripped)
    [[ $(header_value premise.headers SymbolCount) == 0 ]] ||
      fail "the stripped image still has a COFF symbol table"
    ;;
esac

embed_and_check_all app.exe
echo "PASS: $toolchain $arch $variant"
