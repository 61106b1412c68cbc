#!/usr/bin/env bash
# Tarvisk's benchmark in one command: builds Tarvisk (Release) and its Google Benchmark target,
# installs the resedit peer with npm into bench/node_modules, finds or builds tarvisk.exe for the
# Wine row, generates the images, loop-mounts an XFS and a btrfs (as root, with xfsprogs and
# btrfs-progs) for the large image again there, runs every tool side by side and writes
# bench/results.md and bench/results.svg.
#
#   bench/run.sh            full run (about 3 minutes on two cores)
#   bench/run.sh --quick    a 64 MiB overlay and fewer runs, to try the machinery
#
# Environment: TARVISK_WIN_EXE=path/to/tarvisk.exe (default: build/windows-x86, build/windows-x64,
# else built here with the mingw-w64 toolchain if it is installed); BENCH_NO_PEERS=1 to measure
# Tarvisk and the floor only; BENCH_RUNS / BENCH_SLOW_RUNS to change the number of runs;
# BENCH_WORK=dir to run on another file system; BENCH_CASES=small,large,many,large-xfs,large-btrfs
# (and large-sum, large-sum-xfs, large-sum-btrfs, many-sum: the images with a checksum, cold)
# to pick cases; BENCH_RESULTS=dir to write results.md and results.svg there instead of bench/;
# BENCH_NO_MICRO=1 to leave out Google Benchmark; BENCH_BASELINE=path/to/tarvisk to measure an
# earlier build beside this one (BENCH_BASELINE_LABEL names it in the tables).
set -euo pipefail

bench="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$bench")"
build="$root/build/bench"
jobs="${BENCH_JOBS:-2}"

runs="${BENCH_RUNS:-5}"
slow_runs="${BENCH_SLOW_RUNS:-3}"
overlay=400
extra=()
if [[ "${1:-}" == "--quick" ]]; then
  runs=2 slow_runs=1 overlay=64
fi

micro_flag=OFF
if [[ -f /usr/include/benchmark/benchmark.h || -f /usr/local/include/benchmark/benchmark.h ]]; then micro_flag=ON; fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVISK_BUILD_TESTS=OFF -DTARVISK_BENCH="$micro_flag" >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null
if [[ "$micro_flag" == ON && -z "${BENCH_NO_MICRO:-}" ]]; then extra+=(--micro "$build/bench/tarvisk_micro"); fi

if [[ -z "${BENCH_NO_PEERS:-}" ]]; then
  if command -v npm >/dev/null && command -v node >/dev/null; then
    if [[ ! -f "$bench/node_modules/resedit/package.json" ]]; then
      npm install --prefix "$bench" --no-save --no-package-lock --no-audit --no-fund resedit@3.1.0 >/dev/null
    fi
    extra+=(--resedit)
  else
    echo "note: node/npm not found, the resedit row is skipped" >&2
  fi

  if command -v wine >/dev/null; then
    exe="${TARVISK_WIN_EXE:-}"
    for candidate in "$root/build/windows-x86/src/tarvisk.exe" "$root/build/windows-x64/src/tarvisk.exe"; do
      if [[ -z "$exe" && -f "$candidate" ]]; then exe="$candidate"; fi
    done
    if [[ -z "$exe" ]] && command -v x86_64-w64-mingw32-g++ >/dev/null; then
      cmake -S "$root" -B "$root/build/bench-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DTARVISK_BUILD_TESTS=OFF >/dev/null
      cmake --build "$root/build/bench-windows" -j"$jobs" --target tarvisk >/dev/null
      exe="$root/build/bench-windows/src/tarvisk.exe"
    fi
    if [[ -n "$exe" && -f "$exe" ]]; then
      extra+=(--wine-exe "$exe")
    else
      echo "note: no tarvisk.exe, the Wine row is skipped" >&2
    fi
  fi
fi

if command -v perf >/dev/null || command -v strace >/dev/null; then extra+=(--profile); fi

if [[ -n "${BENCH_WORK:-}" ]]; then extra+=(--work "$BENCH_WORK"); fi
if [[ -n "${BENCH_CASES:-}" ]]; then extra+=(--cases "$BENCH_CASES"); fi
if [[ -n "${BENCH_RESULTS:-}" ]]; then mkdir -p "$BENCH_RESULTS" && extra+=(--results "$BENCH_RESULTS"); fi
if [[ -n "${BENCH_BASELINE:-}" ]]; then
  extra+=(--baseline "$BENCH_BASELINE" --baseline-label "${BENCH_BASELINE_LABEL:-baseline}")
fi

# The large case again on XFS (reflink) and btrfs, each made in a sparse 6 GiB file (room for
# every tool's copy of the image, the peers' unshared outputs included) and loop-mounted;
# unmounted and removed whatever happens.
cow_dir="$(mktemp -d "${TMPDIR:-/var/tmp}/tarvisk-bench-cow.XXXXXX")"
cleanup_cow() {
  for fs in xfs btrfs; do
    if mountpoint -q "$cow_dir/$fs"; then umount "$cow_dir/$fs"; fi
  done
  rm -rf "$cow_dir"
}
trap cleanup_cow EXIT
cases="${BENCH_CASES:-small,large,many,large-xfs,large-btrfs,large-sum,large-sum-xfs,large-sum-btrfs,many-sum}"
for fs in xfs btrfs; do
  mkfs="mkfs.$fs"
  if [[ ",$cases," != *",large-$fs,"* && ",$cases," != *",large-sum-$fs,"* ]]; then
    continue
  elif [[ "$(id -u)" != 0 ]]; then
    echo "note: not root, the $fs case is skipped (it loop-mounts a file system)" >&2
  elif ! command -v "$mkfs" >/dev/null; then
    echo "note: $mkfs not found (install ${fs}-progs), the $fs case is skipped" >&2
  else
    opts=(-q -f)
    if [[ "$fs" == xfs ]]; then opts+=(-m reflink=1); fi
    truncate -s 6G "$cow_dir/$fs.img"
    mkdir "$cow_dir/$fs"
    if "$mkfs" "${opts[@]}" "$cow_dir/$fs.img" >/dev/null 2>&1 && mount -o loop "$cow_dir/$fs.img" "$cow_dir/$fs"; then
      extra+=(--cow-work "$fs=$cow_dir/$fs")
    else
      echo "note: cannot make or loop-mount a $fs file system here, the $fs case is skipped" >&2
    fi
  fi
done

python3 "$bench/bench.py" --tarvisk "$build/src/tarvisk" --runs "$runs" --slow-runs "$slow_runs" \
  --overlay-mib "$overlay" "${extra[@]}"
