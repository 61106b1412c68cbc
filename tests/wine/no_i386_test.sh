#!/usr/bin/env bash
# On a kernel that runs 64-bit code only, the 32-bit Wine tests must skip and name the cause,
# also where Wine is required, and a 64-bit program must still run. Such a kernel is made here
# by a binfmt_misc of this test's own (one per user namespace, Linux 6.7 and later) in which
# every i386 ELF file is handed to an "interpreter" the kernel cannot execute.
#
# usage: no_i386_test.sh <state-dir>    (the wine.setup state: its prefix and programs)

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [[ ${1:-} != --inside ]]; then
  use_state "${1:-}"
  command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
  # The kernel refuses a new user namespace inside a chroot, and some systems disable them.
  unshare --user --map-root-user true 2>/dev/null ||
    skip_for_machine "no user namespace can be made here (in a chroot, or where they are disabled)," \
      "so no binfmt_misc of the test's own can refuse 32-bit programs"
  enter_workdir
  head -c 64 /dev/zero >not-a-program
  chmod 755 not-a-program
  status=0
  TARVISK_WINE_REQUIRED=1 unshare --user --map-root-user --mount bash "$0" --inside "$STATE" "$WORK/not-a-program" \
    >inside.out 2>&1 || status=$?
  cat inside.out
  if ((status == 3)); then skip_for_machine "$(tail -1 inside.out)"; fi
  ((status == 0)) || fail "see above"
  echo "PASS: without 32-bit programs the 32-bit tests skip and say why; 64-bit Wine still runs"
  exit 0
fi

# Inside the namespace.
STATE=$2
BIN=$STATE/bin
interpreter=$3
binfmt=/proc/sys/fs/binfmt_misc
if ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
  echo "this kernel has no binfmt_misc of a user namespace's own (Linux 6.7 or later), so none can be made to refuse 32-bit programs"
  exit 3
fi
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf ':no-i386:M::%s:%s:%s:F' "$magic" "$mask" "$interpreter" >"$binfmt/register"

find_wine_loaders || fail "no 64-bit Wine loader"
why=$(why_no_wine32)
[[ $why == *"Exec format error"* ]] || fail "why_no_wine32 said '$why'"
out=$(REQUIRED_SWITCH=TARVISK_WINE_REQUIRED require_wine32 2>&1) && fail "require_wine32 let the test go on"
[[ $out == "SKIP: 32-bit Windows programs cannot run here: this kernel runs 64-bit programs only"* ]] ||
  fail "require_wine32 printed '$out'"
echo "skipped as it should: $out"

# The 64-bit loader needs none of it. The program has no manifest yet, and says so.
use_wine_prefix "$STATE/prefix"
cd "$(mktemp -d)"
run_wine x64 "$BIN/find-manifest-x86_64-stripped.exe"
grep -q '^no manifest' x64.out || fail "a 64-bit program did not run: $(cat x64.out x64.err)"
echo "a 64-bit program ran: $(tr -d '\r' <x64.out)"
