#!/usr/bin/env bash
# Uses Tarvisk as an outside CMake project would: installs this build into a fresh prefix (or
# takes the build tree as it is), then builds examples/cmake-mingw with mingw-w64 against it.
# The program must get its manifest after linking, keep it across a no-op rebuild, get the new
# one when the manifest changes, lose a half-made image when embedding fails, and (under Wine)
# find its manifest when it runs.
#
# usage: package_test.sh install|build-tree <tarvisk-build-dir> <tarvisk-source-dir> \
#                        <cmake> <generator> x86_64|i686 [<config>]
# x86_64 uses the example's own toolchain file, i686 the project's cmake/mingw-i686.cmake: a
# 32-bit program built against the package of a 64-bit host tool.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mode=${1:-}
build_dir=${2:-}
source_dir=${3:-}
cmake=${4:-}
generator=${5:-}
arch=${6:-}
config=${7:-}
[[ $mode == install || $mode == build-tree ]] && [[ -n $generator ]] ||
  fail "usage: $0 install|build-tree <build-dir> <source-dir> <cmake> <generator> x86_64|i686 [<config>]"
case $arch in
  x86_64) toolchain=example/mingw-w64-x86_64.cmake ;;
  i686) toolchain=$source_dir/cmake/mingw-i686.cmake ;;
  *) fail "unknown architecture '$arch'" ;;
esac

require_tool MINGW_CC "$arch-w64-mingw32-gcc"
require_tool READOBJ llvm-readobj
enter_workdir

# --- The package, installed or straight from the build tree ---------------------------------

if [[ $mode == install ]]; then
  prefix=$WORK/prefix
  "$cmake" --install "$build_dir" --prefix "$prefix" ${config:+--config "$config"} >install.log 2>&1 ||
    fail "cmake --install failed: $(tail -20 install.log)"
  for file in bin/tarvisk share/man/man1/tarvisk.1 \
    include/resupdate/image_editor.h include/resupdate/resource_set.h include/resupdate/winapi.h \
    share/tarvisk/manifests/modern-desktop-app.manifest share/doc/tarvisk/library.md; do
    [[ -f $prefix/$file ]] || fail "cmake --install did not install $file"
  done
  [[ -x $prefix/bin/tarvisk ]] || fail "bin/tarvisk is not executable"
  cmake_dir=$(dirname "$(find "$prefix" -name TarviskConfig.cmake -print -quit)")
  [[ $cmake_dir == "$prefix"/lib*/cmake/Tarvisk ]] || fail "TarviskConfig.cmake is not in <libdir>/cmake/Tarvisk"
  for file in TarviskConfigVersion.cmake TarviskTargets.cmake TarviskEmbedManifest.cmake; do
    [[ -f $cmake_dir/$file ]] || fail "the CMake package lacks $file"
  done
  for lib in resupdate resupdate_winapi; do
    [[ -n $(find "$prefix" -name "lib$lib.a" -print -quit) ]] || fail "lib$lib.a is not installed"
  done
  # The installed tool runs from its new place and behaves as the tool.
  status=0
  "$prefix/bin/tarvisk" >usage.out 2>usage.err || status=$?
  [[ $status == 255 && $(cat usage.err) == "Usage: Tarvisk <executable> <manifest>" ]] ||
    fail "installed tarvisk without operands: status $status, stderr '$(cat usage.err)'"
  package_args=(-DCMAKE_PREFIX_PATH="$prefix")
  expected_tool=$prefix/bin/tarvisk
else
  package_args=(-DTarvisk_DIR="$build_dir")
  expected_tool=$build_dir/
fi

# --- examples/cmake-mingw against it ----------------------------------------------------------

cp -r "$source_dir/examples/cmake-mingw" example
configure() {
  "$cmake" -S example -B example-build -G "$generator" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$(realpath "$toolchain")" "${package_args[@]}" "$@" \
    >configure.log 2>&1 || fail "configuring the example failed: $(tail -30 configure.log)"
}
build() {
  "$cmake" --build example-build >"$1" 2>&1
}
configure
image=example-build/show-manifest.exe

# The tool that runs must be the package's own, not one found elsewhere.
grep -rqF -- "-DTARVISK_TOOL=$expected_tool" example-build ||
  fail "the example's build does not run tarvisk from $expected_tool"

build build1.log || fail "building the example failed: $(tail -30 build1.log)"
grep -q "inserted into" build1.log || fail "the build did not run tarvisk: $(tail -20 build1.log)"
check_manifest_in "$image" example/app.manifest
machine=$("$READOBJ" --file-headers "$image" | awk '/^ *Machine: / { print $2; exit }')
case $arch in
  x86_64) [[ $machine == IMAGE_FILE_MACHINE_AMD64 ]] || fail "the example is a $machine image, not x86_64" ;;
  i686) [[ $machine == IMAGE_FILE_MACHINE_I386 ]] || fail "the example is a $machine image, not i686" ;;
esac

# Nothing changed: nothing relinks, nothing is embedded again.
cksum "$image" >image.sum
build build2.log || fail "the no-op rebuild failed: $(tail -30 build2.log)"
! grep -q "inserted into" build2.log || fail "a no-op rebuild embedded the manifest again"
cksum "$image" | cmp -s - image.sum || fail "a no-op rebuild changed the image"

# A changed manifest is a dependency like any other: the program relinks and gets it.
sleep 1  # file systems with one-second timestamps
sed -i 's|</assembly>|  <!-- changed after the first build -->\n</assembly>|' example/app.manifest
build build3.log || fail "the rebuild after changing the manifest failed: $(tail -30 build3.log)"
grep -q "inserted into" build3.log || fail "changing the manifest did not embed it again"
check_manifest_in "$image" example/app.manifest

if [[ $mode == build-tree ]]; then
  # A tool that fails leaves no image behind, so the next build links and embeds again instead
  # of taking an image without its manifest for up to date.
  configure -DTARVISK_EXECUTABLE=/bin/false
  sleep 1
  echo "<!-- once more -->" >>example/app.manifest
  ! build build4.log || fail "the build succeeded although tarvisk failed"
  [[ ! -e $image ]] || fail "the image stayed after tarvisk failed on it"
  configure -UTARVISK_EXECUTABLE
  build build5.log || fail "the build after a failed embedding failed: $(tail -30 build5.log)"
  check_manifest_in "$image" example/app.manifest
fi

# --- The library through the package: examples/list-resources built against it ---------------

if [[ $mode == install ]]; then
  # A static library is linked with the compiler and instrumentation it was built with
  # (a sanitizer build's library needs the sanitizer runtimes).
  "$cmake" -S "$source_dir/examples/list-resources" -B lister-build -G "$generator" \
    -DCMAKE_BUILD_TYPE=Release "${package_args[@]}" \
    ${TARVISK_CXX_COMPILER:+-DCMAKE_CXX_COMPILER="$TARVISK_CXX_COMPILER"} \
    -DCMAKE_CXX_FLAGS="${TARVISK_CXX_FLAGS:-}" >lister-configure.log 2>&1 ||
    fail "configuring list-resources against the package failed: $(tail -30 lister-configure.log)"
  "$cmake" --build lister-build >lister-build.log 2>&1 ||
    fail "building list-resources against the package failed: $(tail -30 lister-build.log)"
  lister-build/list-resources "$image" >listing.out 2>listing.err ||
    fail "list-resources failed: $(cat listing.err)"
  grep -Eq "^24 \(MANIFEST\) +1 +0 +0 +$(stat -c %s example/app.manifest)$" listing.out ||
    fail "list-resources built against the package does not list the manifest: $(cat listing.out)"
fi

# --- The program finds its manifest when it runs ----------------------------------------------

if use_wine && [[ $arch == i686 && -n $(why_no_wine32) ]]; then
  # Everything above was checked; only running the program is left, and this machine cannot.
  skip_for_machine "($mode, $arch) embedded through the CMake package and checked, but not run:" \
    "32-bit programs cannot run here: $(why_no_wine32)"
elif use_wine; then
  wine_run "$image" show
  check_show_manifest_output show.out example/app.manifest
  # The example's manifest asks for UTF-8: proof that the loader read it, not just the program.
  head -n 1 show.out | grep -q "active code page 65001" ||
    fail "the example's manifest did not take effect: $(head -n 1 show.out)"
  echo "PASS ($mode, $arch): embedded through the CMake package, found under Wine"
else
  echo "PASS ($mode, $arch): embedded through the CMake package (Wine not installed, not run)"
fi
