#!/usr/bin/env bash
# The release-static preset as a user of another Linux meets it: tarvisk built by the preset is
# a static executable that links without warnings (a static glibc warns when a program needs
# NSS or other shared objects at run time), and it runs in a root that holds nothing but itself,
# an image and a manifest: no C library, no C++ runtime, no /proc, no /tmp. What it writes
# there is byte for byte what the dynamic build writes. Needs root, for chroot.
#
# usage: static_test.sh <source-dir> <dynamic tarvisk> <cmake> <image> <manifest>...

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

source_dir=$(realpath "${1:?usage: $0 <source-dir> <dynamic tarvisk> <cmake> <image> <manifest>...}")
dynamic=$(realpath "${2:?}")
cmake=${3:?}
image=$(realpath "${4:?}")
manifests=()
for manifest in "${@:5}"; do manifests+=("$(realpath "$manifest")"); done
((${#manifests[@]} > 0)) || fail "no manifest given"
((EUID == 0)) || skip "needs root to chroot into a directory holding only the static tarvisk"
require_tool FILE file
require_tool READOBJ llvm-readobj
enter_workdir

(cd "$source_dir" && "$cmake" --preset release-static -B "$WORK/static") >configure.log 2>&1 ||
  fail "configuring the release-static preset failed: $(tail -20 configure.log)"
"$cmake" --build static --target tarvisk -j2 >build.log 2>&1 || fail "building it failed: $(tail -20 build.log)"
! grep -i "warning" build.log || fail "the static build warns"
static=static/src/tarvisk
"$FILE" "$static" | grep -Eq 'statically linked|static-pie linked' || fail "not a static executable: $("$FILE" "$static")"
! ldd "$static" >/dev/null 2>&1 || fail "ldd finds shared libraries: $(ldd "$static")"

mkdir root dynamic
cp "$static" root/tarvisk
cp "$image" root/app.exe
cp "$image" dynamic/app.exe
for manifest in "${manifests[@]}"; do
  cp "$manifest" root/app.manifest
  cp "$manifest" dynamic/app.manifest
  status=0
  chroot root /tarvisk app.exe app.manifest >static.out 2>static.err || status=$?
  ((status == 0)) || fail "the static tarvisk exited with $status in the empty root: $(cat static.err)"
  (cd dynamic && "$dynamic" app.exe app.manifest) >dynamic.out 2>dynamic.err || fail "the dynamic tarvisk failed: $(cat dynamic.err)"
  cmp -s static.out dynamic.out && [[ ! -s static.err ]] ||
    fail "the static tarvisk printed '$(cat static.out)' / '$(cat static.err)', the dynamic one '$(cat dynamic.out)'"
  cmp root/app.exe dynamic/app.exe || fail "with $(basename "$manifest"), the two builds wrote different images"
  [[ $(ls -A root | sort | xargs) == "app.exe app.manifest tarvisk" ]] || fail "the run left files behind: $(ls -A root)"
done
check_manifest_in root/app.exe "${manifests[-1]}"
echo "PASS: the static tarvisk runs alone in a chroot and writes what the dynamic one writes (${#manifests[@]} manifests)"
