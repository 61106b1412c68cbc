#!/usr/bin/env bash
# tarvisk_embed_manifest's contract with the build, checked natively with a stand-in tool that
# records its calls (no Windows compiler needed): misuse stops the configure with a clear
# message; a manifest made by the build is made before the link; the tool runs once per link
# with the linked image and the manifest; a no-op build runs nothing; a changed manifest
# relinks and runs it again.
#
# usage: embed_function_test.sh <tarvisk-build-dir> <cmake> <generator>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build_dir=${1:?usage: $0 <tarvisk-build-dir> <cmake> <generator>}
cmake=${2:?}
generator=${3:?}
enter_workdir

# The stand-in: logs "<image>|<manifest>" and succeeds, like the tool on a good image.
cat >fake-tarvisk <<'TOOL'
#!/bin/sh
printf '%s|%s\n' "$1" "$2" >>"$(dirname "$0")/calls.log"
echo "$2 inserted into $1"
TOOL
chmod +x fake-tarvisk

# Writes project $1 whose body is the rest of the arguments, and configures it.
configure_project() {
  local name=$1
  shift
  mkdir -p "$name"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' "project($name LANGUAGES C)" \
    'find_package(Tarvisk REQUIRED)' "$@" >"$name/CMakeLists.txt"
  echo 'int main(void) { return 0; }' >"$name/main.c"
  printf '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>' >"$name/app.manifest"
  "$cmake" -S "$name" -B "$name/build" -G "$generator" \
    -DTarvisk_DIR="$build_dir" -DTARVISK_EXECUTABLE="$WORK/fake-tarvisk" >"$name.log" 2>&1
}

# --- Misuse: each stops the configure with its own message ------------------------------------
# name|CMake code (\n between commands)|what the error must say
misuse=(
  "not_a_target|tarvisk_embed_manifest(nosuch app.manifest)|'nosuch' is not a target"
  "library|add_library(lib STATIC main.c)\ntarvisk_embed_manifest(lib app.manifest)|'lib' is a STATIC_LIBRARY, not an executable"
  "missing|add_executable(app main.c)\ntarvisk_embed_manifest(app missing.manifest)|missing.manifest' does not exist"
  "directory|add_executable(app main.c)\ntarvisk_embed_manifest(app \${CMAKE_CURRENT_SOURCE_DIR})|is a directory"
  "twice|add_executable(app main.c)\ntarvisk_embed_manifest(app app.manifest)\ntarvisk_embed_manifest(app app.manifest)|'app' already gets"
  "extra|add_executable(app main.c)\ntarvisk_embed_manifest(app app.manifest other.manifest)|unexpected arguments 'other.manifest'"
)
for entry in "${misuse[@]}"; do
  IFS='|' read -r name body message <<<"$entry"
  ! configure_project "misuse_$name" "$(printf '%b' "$body")" || fail "$name: the configure succeeded"
  tr '\n' ' ' <"misuse_$name.log" | tr -s ' ' | grep -qF "$message" ||
    fail "$name: the configure did not say \"$message\": $(tail -15 "misuse_$name.log")"
done

# --- A manifest made by the build, and the link/embed cycle -------------------------------------
configure_project generated \
  'add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/made.manifest
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/app.manifest ${CMAKE_CURRENT_BINARY_DIR}/made.manifest
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app.manifest)' \
  'add_executable(app main.c ${CMAKE_CURRENT_BINARY_DIR}/made.manifest)' \
  'tarvisk_embed_manifest(app ${CMAKE_CURRENT_BINARY_DIR}/made.manifest)' ||
  fail "configuring with a generated manifest failed: $(tail -20 generated.log)"

build() {
  "$cmake" --build generated/build >"$1" 2>&1 || fail "the build failed: $(tail -20 "$1")"
}
calls() {
  [[ -f calls.log ]] && wc -l <calls.log || echo 0
}

build build1.log
[[ $(calls) == 1 ]] || fail "the first build ran the tool $(calls) times"
[[ $(cat calls.log) == "$WORK/generated/build/app|$WORK/generated/build/made.manifest" ]] ||
  fail "the tool was called as '$(cat calls.log)'"
build build2.log
[[ $(calls) == 1 ]] || fail "a no-op build ran the tool again"
sleep 1  # file systems with one-second timestamps
echo '<!-- changed -->' >>generated/app.manifest
build build3.log
[[ $(calls) == 2 ]] || fail "changing the manifest did not run the tool again (ran $(calls) times in all)"
cmp -s generated/app.manifest generated/build/made.manifest || fail "the generated manifest was not remade"
echo "PASS: ${#misuse[@]} misuses refused; generated manifest, no-op build and relink behave"
