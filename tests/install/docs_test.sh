#!/usr/bin/env bash
# The documentation against what it documents.
#
#   man:     tarvisk.1 formats without groff warnings, carries the project's version, has the
#            sections a manual page needs, and shows every message the tool can print.
#   library: docs/library.md covers every public header, and its complete example compiles
#            against the headers as they are.
#   commands: every ```sh block of README.md, docs/*.md and examples/*/README.md runs as
#            printed, in document order, in a scratch copy of the tree, from the top of the
#            copy unless the block says otherwise. An HTML comment on the line before a block
#            steers it:
#              <!-- docs-test: in <directory> -->   run from that directory of the tree
#              <!-- docs-test: skip: <reason> -->   do not run; the reason is printed
#            The blocks run in a private mount namespace whose /usr/local and /tmp are scratch
#            directories, with HOME in the scratch too, so installing under /usr/local or
#            booting a Wine prefix leaves the machine as it was. apt-get is a stand-in there:
#            `update` does nothing and `install` checks that each named package is installed,
#            so a misspelt or missing package fails without network access or changes to the
#            system. Needs root or unprivileged user namespaces.
#
# usage: docs_test.sh man <tarvisk.1> <project-version>
#        docs_test.sh library <docs/library.md> <resupdate/include> <c++ compiler>
#        docs_test.sh commands [<source-dir>]      (default: the tree this script is in)

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SELF=$(realpath "${BASH_SOURCE[0]}")

check_man() {
  local page=$1 version=$2
  require_tool GROFF groff
  groff -man -Tutf8 -ww -z "$page" >groff.out 2>&1 || fail "groff failed: $(cat groff.out)"
  [[ ! -s groff.out ]] || fail "groff warns about the manual page: $(cat groff.out)"

  local th
  th=$(grep -m1 '^\.TH ' "$page")
  [[ $th == *"\"Tarvisk $version\""* ]] || fail "the page's .TH line '$th' does not name Tarvisk $version"

  # Plain text as a reader sees it: no overstriking, no hyphenation at line ends.
  GROFF_NO_SGR=1 groff -man -Tascii -rLL=200n -P-cbou "$page" 2>/dev/null >page.txt
  local section
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" DIAGNOSTICS EXAMPLES FILES "SEE ALSO"; do
    grep -q "^$section\$" page.txt || fail "the manual page has no $section section"
  done

  # Every line the tool prints, with its printf conversions standing for any word.
  local message pattern
  while IFS= read -r message; do
    pattern=$(printf '%s' "$message" | sed -e 's/[][\.*^$]/\\&/g' -e 's/%[sdx]/[^ ]+/g')
    grep -Eq "^ *$pattern\$" page.txt || fail "the manual page does not show the message '$message'"
  done <<'MESSAGES'
Usage: Tarvisk <executable> <manifest>
Error trying to open manifest file '%s'
Error allocing %d bytes
Error trying to open executable image '%s'
Error %x updating resource
%s inserted into %s
MESSAGES
  echo "PASS: the manual page formats cleanly and documents every message"
}

check_library() {
  local doc=$1 include_dir=$2 cxx=$3 header name
  for header in "$include_dir"/resupdate/*.h; do
    name=resupdate/$(basename "$header")
    grep -qF "\`$name\`" "$doc" || fail "docs/library.md does not mention the public header $name"
  done
  # The first C++ block is a complete translation unit; the others are fragments.
  awk '/^```cpp$/ { inblock = 1; next } inblock && /^```$/ { exit } inblock { print }' "$doc" >example.cpp
  [[ -s example.cpp ]] || fail "docs/library.md has no C++ example"
  { echo '#include <string>'; cat example.cpp; } >example_tu.cpp
  "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$include_dir" example_tu.cpp 2>compile.err ||
    fail "the example in docs/library.md does not compile: $(head -20 compile.err)"
  echo "PASS: docs/library.md covers every public header and its example compiles"
}

# Writes each ```sh block of the documents given, in order, to $WORK/blocks/<n>.sh with
# $WORK/blocks/<n>.where holding "<document>:<line>|<directory>|<skip reason>".
extract_blocks() {
  mkdir -p "$WORK/blocks"
  awk -v blocks="$WORK/blocks" '
    function flush_marker() { dir = "."; reason = "" }
    BEGIN { n = 0; flush_marker() }
    FNR == 1 { inblock = 0; flush_marker() }
    !inblock && /^```sh *$/ {
      n++; inblock = 1
      out = sprintf("%s/%03d.sh", blocks, n)
      printf "" >out
      printf "%s:%d|%s|%s\n", FILENAME, FNR, dir, reason >sprintf("%s/%03d.where", blocks, n)
      next
    }
    inblock && /^```/ { inblock = 0; close(out); flush_marker(); next }
    inblock { print >>out; next }
    /^<!-- docs-test: in .* -->$/ { dir = $0; sub(/^<!-- docs-test: in /, "", dir); sub(/ -->$/, "", dir); next }
    /^<!-- docs-test: skip: .* -->$/ { reason = $0; sub(/^<!-- docs-test: skip: /, "", reason); sub(/ -->$/, "", reason); next }
    /[^ ]/ { flush_marker() }
  ' "$@"
}

# The stand-in for apt-get (see the top of this file).
write_apt_get() {
  mkdir -p bin
  cat >bin/apt-get <<'APT'
#!/bin/sh
case ${1:-} in
  update) exit 0 ;;
  install) shift ;;
  *) echo "docs test: a document runs 'apt-get $*', which the test does not stand in for" >&2; exit 1 ;;
esac
for package in "$@"; do
  case $package in -*) continue ;; esac
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    { echo "docs test: package $package is not installed" >&2; exit 1; }
done
APT
  chmod +x bin/apt-get
}

# Runs the extracted blocks; called inside the private mount namespace.
run_blocks() {
  mount --bind "$WORK/usr-local" /usr/local
  mount -t tmpfs tmpfs /tmp
  # The documents run 64-bit Windows programs. Booting a prefix would also set up its 32-bit
  # half through Wine's 32-bit loader, which may be missing or emulated (minutes); with that
  # loader hidden, `wine` takes wine64 and the prefix is made without that half.
  if [[ -x /usr/lib/wine/wine64 && -e /usr/lib/wine/wine ]]; then
    printf 'hidden from the documents\n' >"$WORK/no-wine32"
    mount --bind "$WORK/no-wine32" /usr/lib/wine/wine
  fi
  export HOME=$WORK/home PATH=$WORK/bin:/usr/local/bin:$PATH
  use_wine_prefix "$HOME/.wine"
  local block where dir reason ran=0 skipped=0 status
  for block in blocks/*.sh; do
    IFS='|' read -r where dir reason <"${block%.sh}.where"
    if [[ -n $reason ]]; then
      echo "skipped $where: $reason"
      skipped=$((skipped + 1))
      continue
    fi
    [[ -d tree/$dir ]] || fail "$where: no directory '$dir' in the tree"
    echo "running $where (in $dir)"
    status=0
    (cd "tree/$dir" && timeout 900 bash -e -o pipefail "$WORK/$block") >"${block%.sh}.log" 2>&1 </dev/null || status=$?
    if ((status != 0)); then
      sed 's/^/    /' "$block"
      tail -40 "${block%.sh}.log"
      fail "$where: the block exited with $status"
    fi
    ran=$((ran + 1))
  done
  if command -v wineserver >/dev/null 2>&1; then wineserver -k >/dev/null 2>&1 || true; fi
  echo "PASS: $ran blocks ran as printed, $skipped skipped"
}

check_commands() {
  local source_dir=$1 docs=() doc
  # A copy of what is checked in (with its changes): no build directories, no stray files.
  mkdir tree
  if git -C "$source_dir" rev-parse --show-toplevel >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached | xargs -0 -I{} sh -c 'test ! -e "$1" || printf "%s\0" "$1"' _ {} |
      tar --null -T - -cf -) | tar -xf - -C tree
  else
    (cd "$source_dir" && tar --exclude=./build --exclude='./build-*' -cf - .) | tar -xf - -C tree
  fi
  cd tree
  for doc in README.md docs/*.md examples/*/README.md; do [[ -f $doc ]] && docs+=("$doc"); done
  extract_blocks "${docs[@]}"
  cd "$WORK"
  write_apt_get
  mkdir usr-local home
  local namespace=(unshare --mount --propagation private)
  ((EUID == 0)) || namespace=(unshare --user --map-root-user --mount --propagation private)
  "${namespace[@]}" true 2>/dev/null ||
    skip "cannot make a private mount namespace (not root, and no unprivileged user namespaces)"
  "${namespace[@]}" bash "$SELF" run-blocks "$WORK"
}

mode=${1:-}
if [[ $mode == run-blocks ]]; then
  WORK=$2
  cd "$WORK"
  run_blocks
  exit
fi
if [[ $mode == commands ]]; then
  # Not under /tmp, which the blocks get a fresh one of.
  TMPDIR=/var/tmp
  set -- commands "${2:-$(dirname "${BASH_SOURCE[0]}")/../..}"
fi
args=()
for arg in "${@:2}"; do
  if [[ -e $arg ]]; then args+=("$(realpath "$arg")"); else args+=("$arg"); fi
done
enter_workdir
case $mode in
  man) check_man "${args[@]}" ;;
  library) check_library "${args[@]}" ;;
  commands) check_commands "${args[@]}" ;;
  *) fail "usage: $0 man|library|commands ..." ;;
esac
