#!/usr/bin/env bash
# Rebuilds hello.exe from hello.c, hello.rc and kernel32.def with clang and lld-link only
# (no Windows SDK, no C library). The output is byte-for-byte reproducible.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/hello.exe}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

clang --target=x86_64-pc-windows-msvc -Os -fno-stack-protector -fno-asynchronous-unwind-tables \
  -c "$here/hello.c" -o "$work/hello.obj"
llvm-rc /nologo /fo "$work/hello.res" "$here/hello.rc"
llvm-dlltool -m i386:x86-64 -d "$here/kernel32.def" -l "$work/kernel32.lib"
lld-link /nologo /brepro /nodefaultlib /entry:start /subsystem:console /machine:x64 \
  /filealign:512 /out:"$out" "$work/hello.obj" "$work/hello.res" "$work/kernel32.lib"
