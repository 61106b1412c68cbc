#!/usr/bin/env bash
# The portable build calls nothing but POSIX in its file path: fails if the tool or the library
# imports a Linux-only call, or the tool names a descriptor through /proc.
# Usage: posix_imports.sh NM TARVISK LIBRESUPDATE
set -uo pipefail

nm=$1
tarvisk=$2
library=$3
linux_only='^(copy_file_range|sync_file_range|splice|sendfile|getrandom|statx|renameat2|memfd_create|fallocate|ioctl|[lf]?(get|set|list|remove)xattr)$'

failed=0
# The names a binary needs from outside, without their symbol versions.
found=$( { "$nm" -D --undefined-only "$tarvisk"; "$nm" --undefined-only "$library"; } |
         awk 'NF >= 2 && $(NF-1) == "U" { sub(/@.*/, "", $NF); print $NF }' | sort -u)
if [[ -z $found ]]; then
  echo "FAILED: $nm listed no imports; cannot tell what the binaries call"
  exit 1
fi
for name in $found; do
  if [[ $name =~ $linux_only ]]; then
    echo "FAILED: imports the Linux-only $name"
    failed=1
  fi
done
if grep -q -a '/proc/self/fd' "$tarvisk"; then
  echo "FAILED: names a descriptor through /proc/self/fd"
  failed=1
fi
[[ $failed -eq 0 ]] && echo "ok: $(wc -w <<< "$found") imports, none Linux-only"
exit $failed
