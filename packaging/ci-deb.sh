#!/usr/bin/env bash
# Builds the Debian package in a Release build, checks its metadata and contents, installs it
# with dpkg, uses /usr/bin/tarvisk and the CMake package under /usr as a user would, and
# removes the package again. Needs root (dpkg) and dpkg-dev (dpkg-shlibdeps).
#
# usage: packaging/ci-deb.sh [<build-dir>]     (default: build/deb in the source tree)
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$source_dir/build/deb}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() {
  echo "== $*"
}

((EUID == 0)) || fail "run as root: the package is installed with dpkg -i"
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps is missing (apt-get install dpkg-dev)"
# A run that was killed half-way may have left its package installed.
if dpkg-query -W -f='${Status}' tarvisk 2>/dev/null | grep -q 'install ok installed'; then
  echo "note: removing the tarvisk package left installed before this run"
  dpkg -r tarvisk
fi

step "Release build in $build_dir"
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTARVISK_BUILD_TESTS=OFF >"$build_dir.configure.log" 2>&1 ||
  fail "configuring failed: $(tail -20 "$build_dir.configure.log")"
cmake --build "$build_dir" -j2 >"$build_dir.build.log" 2>&1 || fail "building failed: $(tail -30 "$build_dir.build.log")"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[[ -n $version ]] || fail "cannot read the project version from $build_dir/CMakeCache.txt"

step "cpack -G DEB"
rm -f "$build_dir"/tarvisk_*.deb
(cd "$build_dir" && cpack -G DEB) >"$build_dir.cpack.log" 2>&1 || fail "cpack failed: $(tail -30 "$build_dir.cpack.log")"
debs=("$build_dir"/tarvisk_*.deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || fail "cpack made no single tarvisk_*.deb: ${debs[*]}"
deb=${debs[0]}
echo "$deb"

step "Metadata"
dpkg-deb -I "$deb"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == tarvisk ]] || fail "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', the project's is $version"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Maintainer) =~ ^.+\ \<.+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ $(field Section) == devel ]] || fail "Section is '$(field Section)'"
description=$(field Description)
[[ $(head -n 1 <<<"$description") == "Stores an application manifest in a Windows executable image" ]] ||
  fail "the Description's synopsis is '$(head -n 1 <<<"$description")'"
(($(wc -l <<<"$description") > 3)) || fail "the Description has no long description"
[[ $(sed -n 2p <<<"$description") != *"$(head -n 1 <<<"$description")"* ]] ||
  fail "the long description repeats the synopsis"
# Computed by dpkg-shlibdeps from what the binary links: the C and C++ runtimes at least.
depends=$(field Depends)
for lib in libc6 libstdc++6; do
  [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || fail "Depends '$depends' lacks $lib"
done

step "Contents"
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$build_dir.contents"
for path in /usr/bin/tarvisk /usr/share/man/man1/tarvisk.1.gz /usr/share/tarvisk/manifests/modern-desktop-app.manifest \
  /usr/share/doc/tarvisk/cmake.md /usr/share/doc/tarvisk/copyright /usr/include/resupdate/winapi.h /usr/include/resupdate/resource_set.h; do
  grep -qx "$path" "$build_dir.contents" || fail "the package lacks $path"
done
grep -Eqx '/usr/lib/([^/]+/)?cmake/Tarvisk/TarviskConfig.cmake' "$build_dir.contents" ||
  fail "the package lacks the CMake package"
grep -Eqx '/usr/lib/([^/]+/)?libresupdate.a' "$build_dir.contents" || fail "the package lacks libresupdate.a"
grep -Eqx '/usr/lib/([^/]+/)?pkgconfig/tarvisk-resupdate.pc' "$build_dir.contents" ||
  fail "the package lacks the pkg-config file"
! grep -q '^/usr/local' "$build_dir.contents" || fail "the package installs under /usr/local"

step "dpkg -i"
dpkg -i "$deb"
work=$(mktemp -d)
cleanup() {
  dpkg -r tarvisk >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
dpkg -s tarvisk | grep -q '^Status: install ok installed' || fail "dpkg does not list tarvisk as installed"
cmp -s /usr/share/doc/tarvisk/copyright "$source_dir/LICENSE" ||
  fail "/usr/share/doc/tarvisk/copyright is not the project's LICENSE"
[[ $(command -v tarvisk) == /usr/bin/tarvisk ]] || fail "tarvisk on PATH is '$(command -v tarvisk)', not /usr/bin/tarvisk"

step "/usr/bin/tarvisk on the bundled example"
cp "$source_dir/examples/hello/hello.exe" "$source_dir/examples/hello/app.manifest" "$work"/
cd "$work"
status=0
/usr/bin/tarvisk hello.exe app.manifest >run.out 2>run.err || status=$?
((status == 0)) || fail "/usr/bin/tarvisk exited with $status: $(cat run.err)"
[[ $(cat run.out) == "app.manifest inserted into hello.exe" && ! -s run.err ]] ||
  fail "/usr/bin/tarvisk printed '$(cat run.out)' / '$(cat run.err)'"
cat run.out
if command -v llvm-readobj >/dev/null; then
  llvm-readobj --coff-resources hello.exe >resources.txt
  grep -q '^ *Type: .*(ID 24) \[$' resources.txt || fail "llvm-readobj finds no manifest in hello.exe"
  grep -q "DataSize: $(stat -c %s app.manifest)\$" resources.txt || fail "the stored manifest has the wrong size"
fi
status=0
/usr/bin/tarvisk >usage.out 2>usage.err || status=$?
[[ $status == 255 && $(cat usage.err) == "Usage: Tarvisk <executable> <manifest>" ]] ||
  fail "/usr/bin/tarvisk without operands: status $status, '$(cat usage.err)'"

step "man tarvisk"
[[ $(man -w tarvisk) == /usr/share/man/man1/tarvisk.1.gz ]] || fail "man -w tarvisk gives '$(man -w tarvisk)'"
MANPAGER=cat MANWIDTH=80 man tarvisk 2>man.err | grep -q "store an application manifest in a Windows executable image" ||
  fail "man tarvisk does not show the page: $(cat man.err)"

step "find_package(Tarvisk) from /usr"
if command -v x86_64-w64-mingw32-gcc >/dev/null; then
  cp -r "$source_dir/examples/cmake-mingw" example
  cmake -S example -B example-build -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$work/example/mingw-w64-x86_64.cmake" >example.log 2>&1 ||
    fail "configuring examples/cmake-mingw against /usr failed: $(tail -20 example.log)"
  grep -q '^Tarvisk_DIR:PATH=/usr/lib/\([^/]*/\)\?cmake/Tarvisk$' example-build/CMakeCache.txt ||
    fail "the example did not find the package under /usr: $(grep '^Tarvisk_DIR' example-build/CMakeCache.txt)"
  cmake --build example-build >>example.log 2>&1 || fail "building examples/cmake-mingw failed: $(tail -20 example.log)"
  grep -q "inserted into" example.log || fail "the example's build did not run /usr/bin/tarvisk"
  echo "examples/cmake-mingw built against the installed package"
else
  echo "x86_64-w64-mingw32-gcc is not installed: not tried"
fi

step "dpkg -r"
cd /
dpkg -r tarvisk
[[ ! -e /usr/bin/tarvisk && ! -e /usr/share/man/man1/tarvisk.1.gz ]] || fail "dpkg -r left files behind"
echo "PASS: the Debian package $(basename "$deb") builds, installs, runs and removes cleanly"
