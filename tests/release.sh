#!/usr/bin/env bash
# The release as a user gets it, made twice and signed by a throwaway CA's code-signing
# certificate; then once more with a key that is not the certificate's, which makes no zip.
# Usage: release.sh STATE_DIR PRODUCT CLIENT SCRATCH_DIR
set -euo pipefail
state=$1 product=$2 client=$3 scratch=$4
top=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$scratch"
mkdir -p "$scratch"
cd "$scratch"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tavrin test CA" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout signer.key -out signer.pem -days 2 -subj "/CN=Tavrin test signer" \
  -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=codeSigning \
  -addext keyUsage=digitalSignature 2>/dev/null
export TAVRIN_SIGN_CERT=$scratch/signer.pem TAVRIN_SIGN_KEY=$scratch/signer.key

version=0.0-check zip=$top/build/release/Tavrin-0.0-check.zip
"$top/tools/release.sh" $version
mv "$zip" first.zip
"$top/tools/release.sh" $version >/dev/null
cmp first.zip "$zip" # the same bytes
python3 -m zipfile -e "$zip" .
osslsigncode verify -CAfile ca.pem -in Tavrin-$version/TavrinSetup.exe >/dev/null
osslsigncode remove-signature -in Tavrin-$version/TavrinSetup.exe -out unsigned.exe >/dev/null
cmp unsigned.exe "$product" # signing added a signature and nothing else
"$top/tests/makensis.sh" "$state" Tavrin-$version/TavrinSetup.exe Tavrin-$version "$client" "$scratch/install"

openssl genpkey -algorithm RSA -out other.key 2>/dev/null
if TAVRIN_SIGN_KEY=other.key "$top/tools/release.sh" $version 2>bad.log; then
  echo "a key that is not the certificate's was taken"; exit 1
fi
grep 'does not match the key' bad.log
[ ! -e "$zip" ]
cd / && rm -rf "$scratch"
