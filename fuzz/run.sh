#!/usr/bin/env bash
# Builds the fuzz targets and runs each for SECONDS under the sanitizers; fails on any finding.
# Usage: fuzz/run.sh SECONDS   (build in $TARVISK_FUZZ_BUILD, default build/fuzz)
set -euo pipefail

seconds=${1:?usage: fuzz/run.sh SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TARVISK_FUZZ_BUILD:-$root/build/fuzz}
targets=(pe_image resource_tree round_trip)

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DTARVISK_FUZZ=ON -DTARVISK_BUILD_TESTS=OFF > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target fuzz_seeds "${targets[@]/%/_fuzzer}"

# The corpora grow across runs in the same build folder; seeds and findings are added each time.
mkdir -p "$build/seeds/image" "$build/seeds/tree" "$build/findings"
"$build/fuzz/fuzz_seeds" "$build/seeds/image" "$build/seeds/tree"

failed=0
summary=""
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  mkdir -p "$corpus"
  if [[ $target == resource_tree ]]; then cp "$build"/seeds/tree/* "$corpus"/; else cp "$build"/seeds/image/* "$corpus"/; fi
  cp "$root/fuzz/regressions/$target"/* "$corpus"/ 2>/dev/null || true
  log=$build/$target.log
  echo "== $target: ${seconds}s"
  status=0
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/fuzz/${target}_fuzzer" -max_total_time="$seconds" -seed="${TARVISK_FUZZ_SEED:-1}" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$build/findings/$target-" -print_final_stats=1 "$corpus" > "$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [[ $status -ne 0 ]]; then
    failed=1
    echo "FINDING in $target (exit $status); log: $log"
    grep -E "ERROR|tarvisk fuzz|^  - |SUMMARY|Test unit written" "$log" | head -20 || true
    summary+="$target: ${execs:-?} executions, FINDING"$'\n'
  else
    summary+="$target: ${execs:-?} executions, no finding"$'\n'
  fi
done

echo "== fuzz summary (${seconds}s per target)"
printf '%s' "$summary"
if [[ $failed -ne 0 ]]; then
  echo "findings are in $build/findings: minimise with <target>_fuzzer -minimize_crash=1 and add them to fuzz/regressions/<target>/"
  exit 1
fi
