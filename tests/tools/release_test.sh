#!/usr/bin/env bash
# tools/release.sh as an operator runs it: a Release tree of its own with deployment values,
# signed with a PFX made here (self-signed, password-protected). Checks what it prints against
# the file, the values inside the program, and the signature with `osslsigncode verify`; a
# release with an unusable value is refused before anything is built.
# Usage: release_test.sh WORK-DIR
set -uo pipefail
work=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
failures=0
check() {  # check "what" command...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

mkdir -p "$work"
keys=$work/keys
rm -rf "$keys" && mkdir -p "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=Release Test Publisher" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$keys/leaf.key" -out "$keys/leaf.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$keys/leaf.key" -in "$keys/leaf.pem" -out "$keys/leaf.pfx" \
  -passout pass:'pa ss"word'

check "a download URL that would break the program's text is refused" \
  bash -c "! '$here/tools/release.sh' --download-url 'http://a/\"x' --manual-url http://m \
    --home-url http://h --signers S --build-dir '$work/never' 2>/dev/null && [ ! -e '$work/never' ]"

# A release that pins neither a publisher nor a file would start anyone's signed program as
# administrator: refused, saying why, unless asked for with --any-signer.
unpinned=$("$here/tools/release.sh" --download-url http://a/x.exe --manual-url http://m \
  --home-url http://h --build-dir "$work/never" 2>&1)
check "a release pinning no signer and no digest is refused, saying why" \
  grep -q "neither --signers nor --sha256 is given: the installer would start, as administrator" \
  <<<"$unpinned"
check "... and pointing at --any-signer" grep -q -- "--any-signer" <<<"$unpinned"
# Past that check, it stops at the next one (the missing certificate), still before building.
anyone=$("$here/tools/release.sh" --download-url http://a/x.exe --manual-url http://m \
  --home-url http://h --any-signer --sign "$work/none.pfx" --build-dir "$work/never" 2>&1)
check "--any-signer takes any signer" grep -q "cannot read the certificate" <<<"$anyone"
mixed=$("$here/tools/release.sh" --download-url http://a/x.exe --manual-url http://m \
  --home-url http://h --any-signer --sha256 "$(printf '%064d' 0)" --build-dir "$work/never" 2>&1)
check "--any-signer with a pin is refused" grep -q "goes without" <<<"$mixed"
check "nothing was built for them" [ ! -e "$work/never" ]

download=http://dl.release.test/download/VantreoSetup.exe
out=$("$here/tools/release.sh" --download-url "$download" \
  --manual-url http://www.release.test/qipai/VantreoSetup.exe --home-url http://www.release.test \
  --signers "Release Test Publisher" --sign "$keys/leaf.pfx" --pfx-password 'pa ss"word' \
  --build-dir "$work/tree" --jobs 2 2>&1)
status=$?
echo "$out"
check "release.sh succeeds" [ $status -eq 0 ]
exe=$(sed -n 's/^path: //p' <<<"$out")
check "it names the program it built" [ -f "$exe" ]
check "the size it prints is the file's" \
  grep -qx "size: $(stat -c %s "$exe") bytes" <<<"$out"
check "the SHA-256 it prints is the file's" \
  grep -qx "sha256: $(sha256sum "$exe" | cut -d' ' -f1)" <<<"$out"
check "it says the self-signed chain is not trusted" grep -q "chain is not trusted" <<<"$out"
check "the deployment values are in the program" grep -qa "$download" "$exe"
check "a Release build: no debug symbols" \
  bash -c "! x86_64-w64-mingw32-objdump -h '$exe' | grep -q debug_info"

verify=$(osslsigncode verify -in "$exe" -CAfile "$keys/leaf.pem" 2>&1)
check "osslsigncode verifies the signature" grep -q "^Signature verification: ok" <<<"$verify"
check "signed by the test certificate" grep -q "Subject: /CN=Release Test Publisher" <<<"$verify"
# The verification is not a formality: one changed byte after signing makes it fail.
cp "$exe" "$work/tampered.exe"
printf 'X' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc status=none
check "a changed file no longer verifies" \
  bash -c "! osslsigncode verify -in '$work/tampered.exe' -CAfile '$keys/leaf.pem' >/dev/null 2>&1"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
