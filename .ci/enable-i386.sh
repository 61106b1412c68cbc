#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs run, Wine's 32-bit loader among them, on a kernel that runs
# 64-bit user code only: such a kernel refuses them with "Exec format error", so i386 ELF files
# are handed to qemu-user through binfmt_misc. Where 32-bit code already runs (natively, or an
# emulator is registered), nothing is changed.
#
# Usage (as root, with an i386 loader such as libc6:i386 installed): bash .ci/enable-i386.sh
# Prints how 32-bit code runs here. The registration lasts until the machine restarts; undo it
# with `echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386`.
#
# The emulator is qemu-user from bookworm-backports (version 10), not Debian 12's own
# qemu-user-static (7.2): 7.2 ignores MAP_FIXED_NOREPLACE, which Wine's 32-bit loader relies on
# to lay out its address space, so every 32-bit Wine process spends minutes probing memory and
# often gives up ("failed to map the shared user data"). With 10 it starts in a second or two.
set -euo pipefail

# The i386 dynamic loader: a 32-bit program that every i386 userland has.
probe=${TARVISK_I386_PROBE:-/lib/ld-linux.so.2}
[[ -x $probe ]] || { echo "no 32-bit loader at $probe: install libc6:i386" >&2; exit 1; }
runs() { "$probe" --version >/dev/null 2>&1; }
why_not() { "$probe" --version 2>&1 >/dev/null | sed 's/.*: //' || true; }

if runs; then
  echo "32-bit programs run here: natively, or through an emulator already registered"
  exit 0
fi
echo "32-bit programs do not run here ($(why_not)): registering qemu-user for them"

emulator=/usr/bin/qemu-i386
version=$("$emulator" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p' || true)
if [[ -z $version || $version -lt 10 ]]; then
  # From the backports suite of the machine's own archive, added for the install and removed
  # after it.
  bash "$(dirname "${BASH_SOURCE[0]}")/../packaging/apt-install.sh" --backports qemu-user
fi
[[ -x $emulator ]] || { echo "$emulator is missing after installing qemu-user" >&2; exit 1; }

binfmt=/proc/sys/fs/binfmt_misc
[[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
# An entry that no longer works (its emulator gone or too old) is replaced.
[[ ! -e $binfmt/qemu-i386 ]] || echo -1 >"$binfmt/qemu-i386"
# ELF, 32-bit, little-endian, an executable or a shared object, machine 3 (i386). Debian ships
# no such entry for amd64 hosts. F opens the emulator now, so that it also serves programs in
# chroots and containers that do not have it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf ':qemu-i386:M::%s:%s:%s:F' "$magic" "$mask" "$emulator" >"$binfmt/register"

runs || { echo "32-bit programs still do not run after registering $emulator: $(why_not)" >&2; exit 1; }
echo "32-bit programs run here: emulated by $("$emulator" --version | head -1)"
