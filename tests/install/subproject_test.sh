#!/usr/bin/env bash
# Tarvisk taken into another project with add_subdirectory (as FetchContent does): it must
# configure without GoogleTest, since its tests are only for when it is the top-level project,
# and give the outer project its targets.
#
# usage: subproject_test.sh <tarvisk-source-dir> <cmake> <generator>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

source_dir=$(realpath "${1:?usage: $0 <tarvisk-source-dir> <cmake> <generator>}")
cmake=${2:?}
generator=${3:?}
enter_workdir

mkdir outer
cat >outer/CMakeLists.txt <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(Outer LANGUAGES CXX)
add_subdirectory("$source_dir" tarvisk)
foreach(target Tarvisk::tarvisk Tarvisk::resupdate Tarvisk::resupdate_winapi)
  if(NOT TARGET \${target})
    message(FATAL_ERROR "no target \${target}")
  endif()
endforeach()
CMAKE
# As on a machine without GoogleTest.
"$cmake" -S outer -B build -G "$generator" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >configure.log 2>&1 ||
  fail "configuring a project that adds Tarvisk failed: $(tail -20 configure.log)"
grep -qx 'TARVISK_BUILD_TESTS:BOOL=OFF' build/CMakeCache.txt ||
  fail "a subproject builds Tarvisk's tests: $(grep TARVISK_BUILD_TESTS build/CMakeCache.txt)"
echo "PASS: Tarvisk configures as a subproject without GoogleTest and without its tests"
