#!/usr/bin/env bash
# Embeds manifests into an Authenticode-signed mingw image that also carries overlay bytes:
# the certificate table must go, the overlay must stay, and the result must sign and verify.
#
# usage: signed_test.sh <tarvisk> <i686|x86_64> <mingw variant>

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check_tarvisk "${1:-}"
arch=${2:?architecture}
variant=${3:?variant}

require_llvm_readers
require_tool OSSLSIGNCODE osslsigncode
require_tool OPENSSL openssl

# Bytes past the last section's raw data: the COFF symbol and string tables of an unstripped
# image, then whatever was appended.
tail_bytes() {
  local image=$1 end=0 rs rp
  readobj_dump "$image" tail.readobj
  section_list tail.readobj tail.sections
  while IFS='|' read -r _ _ _ rs rp _; do
    if ((rs > 0 && rp + rs > end)); then end=$((rp + rs)); fi
  done <tail.sections
  tail -c +$((end + 1)) "$image"
}

sign() {
  local in=$1 out=$2
  "$OSSLSIGNCODE" sign -certs cert.pem -key key.pem -n "Tarvisk toolchain test" \
    -in "$in" -out "$out" >sign.log 2>&1 || fail "osslsigncode sign $in failed: $(cat sign.log)"
}

verify() {
  local image=$1
  "$OSSLSIGNCODE" verify -CAfile cert.pem -in "$image" >verify.log 2>&1 ||
    fail "osslsigncode verify $image failed: $(cat verify.log)"
}

enter_workdir
build_image mingw "$arch" "$variant"

# An odd length, so the signer has to pad before the certificate table.
printf 'TARVISK-OVERLAY\x00\x01\x02\xfe\xff installer payload stand-in' >>app.exe
tail_bytes app.exe >overlay.expected

"$OPENSSL" req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=Tarvisk toolchain test" >openssl.log 2>&1 ||
  fail "openssl could not make a test certificate: $(cat openssl.log)"

sign app.exe signed.exe
verify signed.exe
readobj_dump signed.exe premise.readobj
header_fields premise.readobj premise.headers
[[ $(header_value premise.headers CertificateTableSize) != 0x0 ]] ||
  fail "osslsigncode left no certificate table"
tail_bytes signed.exe >signed.tail
cmp -s -n "$(stat -c %s overlay.expected)" overlay.expected signed.tail ||
  fail "osslsigncode did not keep the overlay in front of its certificate"

embed_and_check_all signed.exe

readobj_dump signed.exe final.readobj
header_fields final.readobj final.headers
for field in CertificateTableRVA CertificateTableSize; do
  [[ $(header_value final.headers "$field") == 0x0 ]] ||
    fail "$field is $(header_value final.headers "$field") after embedding, expected 0x0"
done

# The overlay stays byte for byte; at most the signer's alignment padding may follow it.
tail_bytes signed.exe >final.tail
expected_size=$(stat -c %s overlay.expected)
final_size=$(stat -c %s final.tail)
cmp -s -n "$expected_size" overlay.expected final.tail ||
  fail "the overlay changed: expected $expected_size bytes, tail is now $(od -An -c final.tail | head -5)"
((final_size - expected_size < 8)) ||
  fail "$((final_size - expected_size)) bytes remain after the overlay; the certificate was not removed"
if ((final_size > expected_size)); then
  tail -c $((final_size - expected_size)) final.tail | od -An -tx1 | grep -q '[1-9a-f]' &&
    fail "non-zero bytes follow the overlay"
fi

sign signed.exe resigned.exe
verify resigned.exe
grep -q 'invalid PE checksum' verify.log && fail "the re-signed image has an invalid checksum"

echo "PASS: signed mingw $arch $variant"
