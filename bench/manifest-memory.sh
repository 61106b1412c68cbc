#!/usr/bin/env bash
# Peak memory of one run against the size of the manifest: the tool holds the manifest once,
# the update call takes its own copy, and nothing else of that size may be held at the same
# time, so the peak is about twice the manifest plus the run's small fixed amount.
#
#   bench/manifest-memory.sh [tarvisk] [MiB ...]    writes bench/manifest-memory/results.md
#
# By default it measures the Release build in build/bench (bench/run.sh makes it) or
# build/release, with manifests of 16, 64, 256 and 1024 MiB of random bytes stored in a copy of
# examples/hello/hello.exe. It needs GNU time (`/usr/bin/time`) and room for the largest
# manifest and image twice over in $TMPDIR (or /var/tmp).
set -euo pipefail

bench="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$bench")"
tool="${1:-}"
if [[ -z "$tool" ]]; then
  for candidate in "$top/build/bench/src/tarvisk" "$top/build/release/src/tarvisk"; do
    if [[ -x "$candidate" ]]; then tool="$candidate" && break; fi
  done
fi
if [[ -z "$tool" || ! -x "$tool" ]]; then
  echo "no tarvisk to measure: build one (bench/run.sh, or the release preset) or name it" >&2
  exit 2
fi
shift || true
sizes=("$@")
if [[ ${#sizes[@]} -eq 0 ]]; then sizes=(16 64 256 1024); fi

work="$(mktemp -d "${TMPDIR:-/var/tmp}/tarvisk-manifest-memory.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The fixed amount: the same run with a manifest of one byte.
printf 'x' >"$work/one.manifest"
cp "$top/examples/hello/hello.exe" "$work/app.exe"
base_kib="$(/usr/bin/time -f %M "$tool" "$work/app.exe" "$work/one.manifest" 2>&1 >/dev/null | tail -1)"

results="$bench/manifest-memory"
mkdir -p "$results"
{
  echo "# Peak memory against the manifest's size"
  echo
  echo "\`bench/manifest-memory.sh\` on $(date -u +%Y-%m-%d), $(uname -m), $(nproc) cores: peak resident set of"
  echo "one run (\`/usr/bin/time -f %M\`) storing N bytes of random data in a copy of \`examples/hello/hello.exe\`."
  echo "The fixed amount, with a one-byte manifest: $((base_kib / 1024)) MiB."
  echo
  echo "| manifest N | peak | peak less the fixed amount | as a multiple of N |"
  echo "|---:|---:|---:|---:|"
} >"$results/results.md"

for mib in "${sizes[@]}"; do
  head -c "$((mib << 20))" /dev/urandom >"$work/big.manifest"
  cp "$top/examples/hello/hello.exe" "$work/app.exe"
  sync "$work/big.manifest"
  peak_kib="$(/usr/bin/time -f %M "$tool" "$work/app.exe" "$work/big.manifest" 2>&1 >/dev/null | tail -1)"
  python3 - "$mib" "$peak_kib" "$base_kib" >>"$results/results.md" <<'EOF'
import sys
mib, peak, base = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
print(f"| {mib} MiB | {peak / 1024:.0f} MiB | {(peak - base) / 1024:.0f} MiB | {(peak - base) / 1024 / mib:.2f} |")
EOF
  rm -f "$work/big.manifest"
done
cat "$results/results.md"
