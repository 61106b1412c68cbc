#!/usr/bin/env bash
# The README's two quick-start commands on a fresh Debian 12, as a new user meets them: builds a
# minimal root file system with debootstrap, clones the committed tree to /root/<name> in it
# (a home of mode 700, as root's is), and runs both commands there exactly as the README prints
# them, reporting each one's time and result. Not part of .ci/run: the second command is the
# whole of CI, which takes the better part of an hour on a fresh machine.
#
# The root gets this machine's own apt sources, so the check sees the mirrors users see.
#
# usage (as root, with debootstrap and git): packaging/fresh-machine.sh [--mid-sync] [<work-dir>]
#   --mid-sync adds a local file: source whose Release lists a wrong size for its indexes, as a
#   package mirror caught mid-sync serves one: `apt-get update` then fails for it alone;
#   <work-dir> (default /var/tmp/tarvisk-fresh) holds the root file system and the logs;
#   TARVISK_FRESH_NAME names the clone (default tarvisk); TARVISK_FRESH_KEEP=1 keeps the root,
#   which is also kept when a command fails, so that what it left can be looked at.
#   The root file system is made once and reused from <work-dir>/base.tar when present.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mid_sync=
if [[ ${1:-} == --mid-sync ]]; then
  mid_sync=1
  shift
fi
work=$(realpath -m "${1:-/var/tmp/tarvisk-fresh}")
name=${TARVISK_FRESH_NAME:-tarvisk}
root=$work/root

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
((EUID == 0)) || fail "run as root: debootstrap and chroot need it"
command -v debootstrap >/dev/null || fail "debootstrap is missing (apt-get install debootstrap)"

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  if [[ -z ${TARVISK_FRESH_KEEP:-} ]]; then rm -rf "$root"; fi
}
trap cleanup EXIT

mkdir -p "$work"
rm -rf "$root"
mkdir -p "$root"
if [[ ! -f $work/base.tar ]]; then
  read -r archive release < <(bash "$source_dir/packaging/apt-install.sh" --print-archive) ||
    fail "this machine's apt sources name no archive to bootstrap from"
  echo "== debootstrap --variant=minbase $release $archive (once; kept as $work/base.tar)"
  debootstrap --variant=minbase "$release" "$work/base" "$archive" >"$work/debootstrap.log" 2>&1 ||
    fail "debootstrap failed: $(tail -5 "$work/debootstrap.log")"
  tar -C "$work/base" -cf "$work/base.tar" .
  rm -rf "$work/base"
fi
tar -C "$root" -xf "$work/base.tar"

# This machine's apt sources, with the keyrings they name that the root lacks.
rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  if [[ -f $f ]]; then cp "$f" "$root$f"; fi
done
while read -r keyring; do
  [[ -f $keyring && ! -e $root$keyring ]] || continue
  mkdir -p "$root$(dirname "$keyring")"
  cp "$keyring" "$root$keyring"
done < <(cat "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/* 2>/dev/null |
  sed -n -e 's/^Signed-By: *\(\/.*\)/\1/p' -e 's/.*signed-by=\([^] ]*\).*/\1/p' | sort -u)
if [[ -n $mid_sync ]]; then
  repo=/var/local/mid-sync
  bash "$source_dir/packaging/local-apt-repo.sh" --wrong-size "$root$repo" mid-sync |
    sed "s|file:$root$repo|file:$repo|" >"$root/etc/apt/sources.list.d/mid-sync.list"
  echo "== added a source whose index has the wrong size: $(cat "$root/etc/apt/sources.list.d/mid-sync.list")"
fi

# The committed tree, as a clone would have it: no build output, no uncommitted changes.
chmod 700 "$root/root"
git clone -q "$source_dir" "$root/root/$name"
echo "== cloned $(git -C "$source_dir" rev-parse --short HEAD) to /root/$name"

cp /etc/resolv.conf "$root/etc/resolv.conf"
for fs in proc sys dev dev/pts; do
  case $fs in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount --rbind /sys "$root/sys" ;;
    dev) mount --rbind /dev "$root/dev" ;;
    dev/pts) continue ;;
  esac
  mounted+=("$root/$fs")
done

# The two commands, taken from the README as printed: the first two shell blocks of its quick
# start.
mapfile -t commands < <(awk '
  /^## Quick start/ { inside = 1; next }
  inside && /^## / { exit }
  inside && /^```sh$/ { block = 1; text = ""; next }
  inside && block && /^```$/ { block = 0; print text; next }
  inside && block { text = text (text == "" ? "" : "\n") $0 }
' "$root/root/$name/README.md" | head -2)
((${#commands[@]} == 2)) || fail "the README's quick start does not hold two shell blocks"

status=0
results=()
for i in 0 1; do
  log=$work/command-$((i + 1)).log
  echo "== command $((i + 1)), from /root/$name: ${commands[i]}"
  start=$SECONDS
  rc=0
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    TERM=dumb LANG=C.UTF-8 /bin/bash -c "cd /root/$name && ${commands[i]}" </dev/null >"$log" 2>&1 || rc=$?
  took=$((SECONDS - start))
  tail -3 "$log" | sed 's/^/   | /'
  results+=("command $((i + 1)): exit $rc after ${took} s (log: $log)")
  ((rc == 0)) || { status=1 && TARVISK_FRESH_KEEP=1; }
done
printf '%s\n' "${results[@]}"
exit "$status"
