#!/usr/bin/env bash
# Signs a Windows program with a throw-away code-signing certificate, for the tests and the
# demo: test-signer.sh KEY-DIR SUBJECT INPUT OUTPUT
# The certificate (CN=SUBJECT, or the whole name SUBJECT when it starts with "/"; UTF-8;
# self-signed, extendedKeyUsage=codeSigning) is made with openssl in KEY-DIR on first use and
# reused after; OUTPUT is INPUT with an Authenticode signature.
set -euo pipefail
dir=$1 subject=$2 input=$3 output=$4
mkdir -p "$dir"
# A subject starting with "/" is a whole name as openssl writes it ("/C=CN/O=.../CN=...").
case $subject in
  /*) subj=$subject ;;
  *) subj="/CN=$subject" ;;
esac
stem=$dir/$(printf '%s' "$subject" | tr -c 'A-Za-z0-9' '_')
# Builds sign in parallel: the first to come makes the certificate while the others wait for it.
exec 9>"$dir/.lock"
flock 9
if [ ! -s "$stem.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -utf8 -subj "$subj" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$stem.key" -out "$stem.pem.tmp" 2>/dev/null
  openssl x509 -in "$stem.pem.tmp" -outform der -out "$stem.der"
  mv "$stem.pem.tmp" "$stem.pem"
fi
flock -u 9
rm -f "$output"
osslsigncode sign -certs "$stem.pem" -key "$stem.key" -h sha256 -in "$input" -out "$output" >/dev/null
