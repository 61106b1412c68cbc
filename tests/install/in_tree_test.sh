#!/usr/bin/env bash
# tarvisk_embed_manifest inside Tarvisk's own tree: configures the whole tree as a Windows
# build with mingw-w64, as on Windows, where examples/cmake-mingw is part of the build. The
# tarvisk.exe of such a build cannot run here, so TARVISK_EXECUTABLE names this host's tool.
#
# usage: in_tree_test.sh <tarvisk-source-dir> <tarvisk> <cmake> <generator>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

source_dir=$(realpath "${1:?usage: $0 <tarvisk-source-dir> <tarvisk> <cmake> <generator>}")
tarvisk=$(realpath "${2:?}")
cmake=${3:?}
generator=${4:?}
toolchain=$source_dir/cmake/mingw-x86_64.cmake
[[ -f $toolchain ]] || skip "no toolchain file $toolchain"
require_tool MINGW_CC x86_64-w64-mingw32-gcc
require_tool READOBJ llvm-readobj
enter_workdir

"$cmake" -S "$source_dir" -B tree -G "$generator" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DTARVISK_EXECUTABLE="$tarvisk" >configure.log 2>&1 || fail "configuring the tree failed: $(tail -30 configure.log)"
"$cmake" --build tree --target show-manifest >build.log 2>&1 || fail "building show-manifest failed: $(tail -30 build.log)"
grep -q "inserted into" build.log || fail "the build did not run tarvisk: $(tail -10 build.log)"
! grep -qi "warning" build.log || fail "the example built with warnings: $(grep -i warning build.log | head -5)"
check_manifest_in tree/examples/cmake-mingw/show-manifest.exe "$source_dir/examples/cmake-mingw/app.manifest"
echo "PASS: tarvisk_embed_manifest works inside Tarvisk's own Windows build"
