#!/usr/bin/env bash
# A tarvisk built for another processor, run under its emulator, must do exactly what the
# native tarvisk does: the same image bytes, messages and exit status, for every image the
# tests hold and for two manifests, one of them empty.
#
# usage: same_bytes.sh <native tarvisk> <images dir> <source dir> <emulator> [<emulator args>...] <tarvisk>
#   <images dir> holds what dump_images wrote; the emulator command ends with the cross tarvisk.

# shellcheck source=../toolchain/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../toolchain/lib.sh"
REQUIRED_SWITCH=TARVISK_CROSS_REQUIRED

NATIVE=${1:?native tarvisk}
IMAGES=$(realpath "${2:?images directory}")
SOURCE=$(realpath "${3:?source directory}")
shift 3
CROSS=("$@")
((${#CROSS[@]} > 0)) || fail "no cross tarvisk given"

[[ -x $NATIVE ]] || skip "no native tarvisk at $NATIVE to compare with: build it first with 'cmake --preset default && cmake --build --preset default --target tarvisk'"

enter_workdir
mkdir inputs
cp "$IMAGES"/*.exe inputs/
cp "$SOURCE/examples/hello/hello.exe" inputs/hello.exe
for file in "$SOURCE"/fuzz/regressions/pe_image/* "$SOURCE"/fuzz/regressions/round_trip/*; do
  cp "$file" "inputs/regression-$(basename "$file").exe"
done

# Images from real linkers, where they are installed; each build in its own directory, since
# the helpers build app.exe from the inputs in the current one.
built=0
for toolchain in clang:plain clang:rsrc mingw:plain mingw:rsrc mingw:debug mingw:stripped; do
  for arch in i686 x86_64; do
    name=${toolchain%%:*}-$arch-${toolchain#*:}
    mkdir "build-$name"
    if (cd "build-$name" && cp "$INPUTS"/* . && build_image "${toolchain%%:*}" "$arch" "${toolchain#*:}") \
      >"build-$name.log" 2>&1; then
      cp "build-$name/app.exe" "inputs/$name.exe"
      built=$((built + 1))
    else
      echo "not built: $name ($(tail -1 "build-$name.log"))"
    fi
  done
done
((built > 0)) || [[ -z ${TARVISK_TOOLCHAIN_REQUIRED:-} ]] || fail "no image could be linked (TARVISK_TOOLCHAIN_REQUIRED is set)"

: >empty.manifest
cp "$SOURCE/examples/hello/app.manifest" app.manifest

# Runs one tarvisk on a fresh copy of the image, from a directory named alike for both, so
# that the messages, which carry the operands, compare as they are.
run_one() {
  local dir=$1 image=$2 manifest=$3
  shift 3
  mkdir -p "$dir/run"
  cp "$image" "$dir/run/app.exe"
  cp "$manifest" "$dir/run/app.manifest"
  local status=0
  (cd "$dir/run" && "$@" app.exe app.manifest >../stdout 2>../stderr) || status=$?
  echo "$status" >"$dir/status"
}

compared=0 refused=0 differ=0
for image in inputs/*.exe; do
  for manifest in app.manifest empty.manifest; do
    case_dir=cases/$(basename "$image" .exe)-${manifest%.manifest}
    run_one "$case_dir/native" "$image" "$manifest" "$NATIVE"
    run_one "$case_dir/cross" "$image" "$manifest" "${CROSS[@]}"
    for what in status stdout stderr run/app.exe; do
      if ! cmp -s "$case_dir/native/$what" "$case_dir/cross/$what"; then
        echo "DIFFERS: $case_dir: $what"
        echo "  native: status $(cat "$case_dir/native/status"), $(head -c 200 "$case_dir/native/stderr")"
        echo "  cross:  status $(cat "$case_dir/cross/status"), $(head -c 200 "$case_dir/cross/stderr")"
        differ=$((differ + 1))
        break
      fi
    done
    compared=$((compared + 1))
    [[ $(cat "$case_dir/native/status") == 0 ]] || refused=$((refused + 1))
  done
done

((differ == 0)) || fail "$differ of $compared runs differ from the native tarvisk's"
# The hostile images must really be refused, or the check would not cover the failure roads.
((refused > 0)) || fail "no run failed: the hostile images are missing"
echo "PASS: $compared runs ($((compared - refused)) stored the manifest, $refused refused, $built images linked here) as the native tarvisk ran them"
