#!/usr/bin/env bash
# Makes the release a user downloads: build/release/Tavrin-VERSION.zip, the product beside the
# package exactly as the program expects it under one top folder, and build/release/SHA256SUMS
# with the sums of the zip and of the program in it. Two runs from one commit give the same
# bytes: every time in the zip, and the signing time, is SOURCE_DATE_EPOCH (default: the commit's).
# With TAVRIN_SIGN_CERT (PEM certificate, the signer's first, then its chain) and TAVRIN_SIGN_KEY
# (its PEM key, unencrypted) the program is signed before it goes in; TAVRIN_SIGN_TIMESTAMP_URL
# adds an RFC 3161 timestamp, which makes each signature, and so each zip, different.
# Usage: tools/release.sh VERSION [PACKAGE_DIR]    PACKAGE_DIR: the sample package by default
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
top=$(pwd)
fail() { echo "release: $*" >&2; exit 1; }
# Paths given relative to where the command was run.
given() { case $1 in /* | '') printf '%s' "$1" ;; *) printf '%s/%s' "$caller" "$1" ;; esac; }

[ $# -ge 1 ] && [ $# -le 2 ] || fail "usage: tools/release.sh VERSION [PACKAGE_DIR]"
version=$1
out=$top/build/release
zip=$out/Tavrin-$version.zip
# A name that every system and every unzip can hold: letters and digits, with . _ + - inside.
[[ $version =~ ^[A-Za-z0-9]([A-Za-z0-9._+-]*[A-Za-z0-9])?$ ]] \
  || fail "VERSION \"$version\" cannot stand in a file name: use letters and digits, with . _ + - between them"
# A release that fails leaves no zip of its version, and no sums that could be taken for its own.
rm -f "$zip" "$out/SHA256SUMS"
if [ $# -eq 2 ]; then
  package=$(given "$2")
  [ -d "$package" ] || fail "no package folder $2"
else
  package=$top/build/x86/sample-package
fi
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is to be seconds since 1970 (outside a git checkout, set it)"
git diff --quiet HEAD -- 2>/dev/null \
  || echo "note: the sources differ from the commit, so another run from that commit gives another release"

started=$(date +%s.%N)
. tools/deps.sh
ensure_packages

# A signer is checked before anything is built: a key that is not the certificate's, or a
# certificate not meant for code signing, would give a signature no system accepts.
cert=$(given "${TAVRIN_SIGN_CERT:-}") key=$(given "${TAVRIN_SIGN_KEY:-}")
if [ -n "$cert$key" ]; then
  [ -n "$cert" ] && [ -n "$key" ] || fail "TAVRIN_SIGN_CERT and TAVRIN_SIGN_KEY are given together or not at all"
  cert_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) || fail "$cert holds no PEM certificate"
  own_key=$(openssl pkey -in "$key" -pubout -passin pass: 2>/dev/null) \
    || fail "$key holds no unencrypted PEM private key"
  [ "$cert_key" = "$own_key" ] || fail "the certificate in $cert does not match the key in $key"
  openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' \
    || fail "the certificate in $cert is not meant for code signing (its extended key usage lacks Code Signing)"
  usage=$(openssl x509 -in "$cert" -noout -ext keyUsage 2>/dev/null)
  [ -z "$usage" ] || grep -q 'Digital Signature' <<<"$usage" \
    || fail "the certificate in $cert is not meant for code signing (its key usage lacks Digital Signature)"
fi

cmake --preset x86 >/dev/null
cmake --build --preset x86 --target TavrinSetup TavrinPlugin >/dev/null
program=$top/build/x86/TavrinSetup.exe

mkdir -p "$out"
work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
if [ -n "$cert" ]; then
  timestamp=()
  [ -z "${TAVRIN_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$TAVRIN_SIGN_TIMESTAMP_URL")
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Tavrin Plugin Setup" -time "$epoch" \
    "${timestamp[@]}" -in "$program" -out "$work/TavrinSetup.exe" >"$work/sign.log" 2>&1 \
    || { cat "$work/sign.log" >&2; fail "osslsigncode could not sign the program"; }
  program=$work/TavrinSetup.exe
  echo "signed the program as $(openssl x509 -in "$cert" -noout -subject)"
else
  echo "not signed: TAVRIN_SIGN_CERT and TAVRIN_SIGN_KEY are not set"
fi

# Written beside, then renamed: no half-written zip ever stands under the final name.
python3 tools/releasezip.py "$work/release.zip" "Tavrin-$version" "$program" "$package" core/package.h "$epoch"
sum() { sha256sum <"$1" | cut -d' ' -f1; }
printf '%s  %s\n' "$(sum "$work/release.zip")" "Tavrin-$version.zip" \
  "$(sum "$program")" "Tavrin-$version/TavrinSetup.exe" >"$work/SHA256SUMS"
mv "$work/release.zip" "$zip"
mv "$work/SHA256SUMS" "$out/SHA256SUMS"

echo "release: $zip, $(stat -c %s "$zip") bytes, in $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s"
echo "program: $(stat -c %s "$program") bytes ($(stat -c %s "$top/build/x86/TavrinSetup.exe") unsigned)"
sed 's/^/  /' "$out/SHA256SUMS"
