#!/usr/bin/env bash
# examples/list-resources against an independent reader: on the bundled example image before
# and after tarvisk gives it a manifest, it lists the resources llvm-readobj finds, with
# their keys and sizes; on a file that is no PE image it fails with a message.
#
# usage: list_resources_test.sh <list-resources> <tarvisk> <image> <manifest>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

lister=$(realpath "${1:?usage: $0 <list-resources> <tarvisk> <image> <manifest>}")
tarvisk=$(realpath "${2:?}")
image=$(realpath "${3:?}")
manifest=$(realpath "${4:?}")
require_tool READOBJ llvm-readobj
enter_workdir

# type|name|language|size for every resource, as llvm-readobj reads them. Only integer keys
# are compared: the images here have no named ones.
readobj_keys() {
  "$READOBJ" --coff-resources "$1" | resource_rows - | awk -F'|' '
    function id(label) { sub(/^.*\(ID /, "", label); sub(/\).*$/, "", label); return label }
    { print id($1) "|" id($2) "|" id($3) "|" $5 }
  ' | sort
}

# The same from list-resources' table (type "24 (MANIFEST)" becomes 24).
lister_keys() {
  "$lister" "$1" >listing.out 2>listing.err || fail "list-resources failed on $1: $(cat listing.err)"
  awk 'NR > 2 { print $1 "|" $(NF - 3) "|" $(NF - 2) "|" $NF }' listing.out | sort
}

check_image() {
  local file=$1 expected_count=$2
  readobj_keys "$file" >expected.keys
  lister_keys "$file" >listed.keys
  diff -u expected.keys listed.keys >keys.diff ||
    fail "list-resources and llvm-readobj disagree on $file: $(cat keys.diff)"
  [[ $(wc -l <listed.keys) == "$expected_count" ]] ||
    fail "$file: expected $expected_count resources, list-resources shows $(wc -l <listed.keys)"
  grep -q "^$file: PE32+\?, machine 0x[0-9a-f]\{4\}, [0-9]* sections, $expected_count resources\$" listing.out ||
    fail "unexpected summary line: $(head -n 1 listing.out)"
}

cp "$image" app.exe
before=$(readobj_keys app.exe | wc -l)
check_image app.exe "$before"
"$tarvisk" app.exe "$manifest" >/dev/null || fail "tarvisk failed on the example image"
check_image app.exe $((before + 1))
grep -Eq "^24 \(MANIFEST\) +1 +0 +0 +$(stat -c %s "$manifest")\$" listing.out ||
  fail "the manifest is not listed as type 24, name 1, language 0: $(cat listing.out)"

printf 'not an image' >plain.txt
status=0
"$lister" plain.txt >bad.out 2>bad.err || status=$?
((status == 1)) || fail "list-resources on a text file exited with $status"
grep -q '^list-resources: plain.txt: .* (error 0xc1)$' bad.err || fail "unexpected message: $(cat bad.err)"
echo "PASS: list-resources agrees with llvm-readobj"
