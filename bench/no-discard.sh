#!/usr/bin/env bash
# The 400 MiB case again on an ext4 mounted with the default options, which do not discard
# freed blocks at once (distributions trim on a timer instead). A file system mounted with
# `discard` makes removing a file wait for the disk to discard its blocks, so every atomic
# replacement of a 400 MiB image pays for that and `cp` plus `sync` never does.
#
#   bench/no-discard.sh     (as root: it makes a loop device) writes bench/no-discard/results.md
#
# The file system lives in a file in bench/work on the same disk as the main run, behind a loop
# device with direct I/O, so its flushes reach the disk instead of the page cache.
set -euo pipefail

bench="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$bench/work"
image="$bench/work/ext4-no-discard.img"
mnt="$(mktemp -d)"
dev=""
cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt"; fi
  if [[ -n "$dev" ]]; then losetup -d "$dev"; fi
  rmdir "$mnt"
  rm -f "$image"
}
trap cleanup EXIT

truncate -s 3G "$image"
mkfs.ext4 -q -F "$image"
dev="$(losetup --direct-io=on -f --show "$image")"
mount "$dev" "$mnt"
findmnt -no FSTYPE,OPTIONS "$mnt"

BENCH_WORK="$mnt/work" BENCH_CASES=large BENCH_NO_PEERS=1 BENCH_NO_MICRO=1 BENCH_RUNS="${BENCH_RUNS:-11}" \
  BENCH_RESULTS="$bench/no-discard" bash "$bench/run.sh"
