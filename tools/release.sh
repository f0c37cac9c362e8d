#!/usr/bin/env bash
# The installer for operators: a Release build of VantreoInstaller.exe with the given deployment
# values, signed when a certificate is given, then its path, size and SHA-256.
#
# Usage: tools/release.sh --download-url URL --manual-url URL --home-url URL
#          (--signers "common name;CN=..., O=..., C=..;sha256:HEX;..." | --sha256 HEX | --any-signer)
#          [--sign CERT.pfx [--pfx-password PASSWORD]] [--build-dir DIR] [--jobs N]
#
# The installer starts the downloaded program as administrator: a release names its publisher
# (--signers), its file (--sha256) or both; --any-signer (any valid signature) must be asked for.
# Builds in DIR (default build/release), its own tree: the values of one release never mix with
# the test trees. The signature is checked with `osslsigncode verify`: against this machine's
# trusted roots first; when that chain is not trusted (a self-signed or private CA certificate),
# against the certificates in the PFX itself, which proves the digest and the signature but not
# that Windows will trust the publisher. The script says which of the two it accepted.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

usage() {
  sed -n '5,11p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
fail() {
  echo "release: $*" >&2
  exit 1
}

download_url= manual_url= home_url= signers= sha256= pfx= password= jobs=2 any_signer=
build=$here/build/release
while [ $# -gt 0 ]; do
  if [ "$1" = --any-signer ]; then
    any_signer=1
    shift
    continue
  fi
  [ $# -ge 2 ] || usage
  case $1 in
    --download-url) download_url=$2 ;;
    --manual-url) manual_url=$2 ;;
    --home-url) home_url=$2 ;;
    --signers) signers=$2 ;;
    --sha256) sha256=$2 ;;
    --sign) pfx=$2 ;;
    --pfx-password) password=$2 ;;
    --build-dir) build=$2 ;;
    --jobs) jobs=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ -n "$download_url" ] && [ -n "$manual_url" ] && [ -n "$home_url" ] || usage

if [ -z "$signers" ] && [ -z "$sha256" ] && [ -z "$any_signer" ]; then
  fail "neither --signers nor --sha256 is given: the installer would start, as administrator," \
    "any program with a valid signature of anyone's; name the publisher (--signers) or the" \
    "file (--sha256), or pass --any-signer to accept any signer"
fi
if [ -n "$any_signer" ] && [ -n "$signers$sha256" ]; then
  fail "--any-signer goes without --signers and --sha256"
fi
# The values become C string literals in the program: quotes, backslashes and control characters
# would change its code, not just its text (the build escapes the signers: a whole subject may
# quote a value).
for value in "$download_url" "$manual_url" "$home_url" "$signers"; do
  [[ $value != *[[:cntrl:]]* ]] || fail "control characters are not allowed: $value"
done
for value in "$download_url" "$manual_url" "$home_url"; do
  [[ $value != *[\"\\]* ]] || fail "quotes and backslashes are not allowed: $value"
done
# The installer downloads over plain HTTP; the two links open in the user's browser.
[[ $download_url == http://?* ]] || fail "the download URL must be http://: $download_url"
for url in "$manual_url" "$home_url"; do
  [[ $url == http://?* || $url == https://?* ]] || fail "not an http:// or https:// URL: $url"
done
if [ -n "$sha256" ]; then
  [[ $sha256 =~ ^[0-9A-Fa-f]{64}$ ]] || fail "--sha256 needs 64 hex digits: $sha256"
fi
if [ -n "$pfx" ]; then
  [ -r "$pfx" ] || fail "cannot read the certificate $pfx"
  command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (tools/deps.sh)"
elif [ -n "$password" ]; then
  fail "--pfx-password without --sign"
fi

# Every value is given, also the empty ones, so that none stays behind from an earlier release
# built in the same folder.
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DVANTREO_DOWNLOAD_URL="$download_url" -DVANTREO_MANUAL_URL="$manual_url" \
  -DVANTREO_HOME_URL="$home_url" -DVANTREO_SETUP_SIGNERS="$signers" \
  -DVANTREO_SETUP_SHA256="$sha256" -DVANTREO_VERIFY_SIGNATURE=ON >/dev/null
cmake --build "$build" -j "$jobs" --target VantreoInstaller >/dev/null
exe=$build/app/VantreoInstaller.exe
[ -f "$exe" ] || fail "the build made no $exe"

if [ -n "$pfx" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The password goes through a private file, not through osslsigncode's command line.
  (umask 077 && printf '%s' "$password" >"$work/password")
  osslsigncode sign -pkcs12 "$pfx" -readpass "$work/password" -h sha256 -i "$home_url" \
    -in "$exe" -out "$work/signed.exe" >"$work/sign.log" 2>&1 ||
    fail "signing failed: $(tail -3 "$work/sign.log")"
  mv "$work/signed.exe" "$exe"

  if osslsigncode verify -in "$exe" >"$work/verify.log" 2>&1; then
    echo "signature: verified, chain trusted by this machine's roots"
  else
    openssl pkcs12 -in "$pfx" -nokeys -passin "file:$work/password" -out "$work/own.pem" \
      2>/dev/null || fail "cannot read the certificates of $pfx"
    osslsigncode verify -in "$exe" -CAfile "$work/own.pem" >"$work/verify.log" 2>&1 ||
      fail "the signature does not verify: $(grep -iE 'error|failed' "$work/verify.log" | head -3)"
    echo "signature: verified against the certificate itself; its chain is not trusted here" \
      "(self-signed or private CA): Windows will not name a verified publisher"
  fi
  sed -n 's/^[[:space:]]*Subject: /signer: /p' "$work/verify.log" | head -1
else
  echo "signature: none (no --sign given)"
fi

echo "path: $exe"
echo "size: $(stat -c %s "$exe") bytes"
echo "sha256: $(sha256sum "$exe" | cut -d' ' -f1)"
