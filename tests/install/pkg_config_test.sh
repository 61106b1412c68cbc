#!/usr/bin/env bash
# The library as a build without CMake uses it: installed with DESTDIR (so its pkg-config
# files must find their prefix from where they lie), examples/list-resources is compiled with
# plain c++ and pkg-config alone, and the program it makes must list resources as the CMake
# build of it does.
#
# usage: pkg_config_test.sh <tarvisk-build-dir> <cmake> <c++ compiler> <source-dir> <tarvisk>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir=$(realpath "${1:?usage: $0 <tarvisk-build-dir> <cmake> <c++ compiler> <source-dir> <tarvisk>}")
cmake=${2:?}
cxx=${3:?}
source_dir=$(realpath "${4:?}")
tarvisk=$(realpath "${5:?}")
require_tool PKG_CONFIG pkg-config
enter_workdir

DESTDIR=$WORK/dest "$cmake" --install "$build_dir" --prefix /opt/tarvisk >install.log 2>&1 ||
  fail "cmake --install failed: $(tail -20 install.log)"
pc_dirs=("$WORK"/dest/opt/tarvisk/lib*/pkgconfig)
[[ -f ${pc_dirs[0]}/tarvisk-resupdate.pc ]] || fail "no tarvisk-resupdate.pc installed: $(cd dest && find . -name '*.pc')"
export PKG_CONFIG_PATH=${pc_dirs[0]}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[[ $("$PKG_CONFIG" --modversion tarvisk-resupdate) == "$version" ]] ||
  fail "pkg-config gives version '$("$PKG_CONFIG" --modversion tarvisk-resupdate)', the project's is $version"
# The facade before the core, as a static link needs them.
[[ $("$PKG_CONFIG" --libs-only-l tarvisk-resupdate-winapi | xargs) == "-lresupdate_winapi -lresupdate" ]] ||
  fail "the facade's libraries are '$("$PKG_CONFIG" --libs-only-l tarvisk-resupdate-winapi)'"

# A static library links with the instrumentation it was built with (a sanitizer build's
# library needs the sanitizer runtimes): the build's own flags come first.
# shellcheck disable=SC2046,SC2086 # pkg-config's output and the flags are lists of words
"$cxx" -std=c++20 ${TARVISK_CXX_FLAGS:-} -o list-resources "$source_dir/examples/list-resources/list_resources.cpp" \
  $("$PKG_CONFIG" --cflags --libs tarvisk-resupdate) >compile.log 2>&1 ||
  fail "list_resources.cpp does not build with pkg-config: $(head -20 compile.log)"
echo "built examples/list-resources with $cxx and pkg-config from DESTDIR$(dirname "${pc_dirs[0]}")"

bash "$(dirname "${BASH_SOURCE[0]}")/list_resources_test.sh" "$WORK/list-resources" "$tarvisk" \
  "$source_dir/examples/hello/hello.exe" "$source_dir/examples/hello/app.manifest"
