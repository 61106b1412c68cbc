#!/usr/bin/env bash
# The documentation against what it documents.
#
#   man:     tarvisk.1 formats without groff warnings, carries the project's version, has the
#            sections a manual page needs, and shows every message the tool can print.
#   library: docs/library.md covers every public header, and its complete example compiles
#            against the headers as they are.
#
# usage: docs_test.sh man <tarvisk.1> <project-version>
#        docs_test.sh library <docs/library.md> <resupdate/include> <c++ compiler>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

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

mode=${1:-}
args=()
for arg in "${@:2}"; do
  if [[ -e $arg ]]; then args+=("$(realpath "$arg")"); else args+=("$arg"); fi
done
enter_workdir
case $mode in
  man) check_man "${args[@]}" ;;
  library) check_library "${args[@]}" ;;
  *) fail "usage: $0 man|library ..." ;;
esac
