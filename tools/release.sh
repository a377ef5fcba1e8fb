#!/usr/bin/env bash
# Makes the release a user downloads: build/release/Tavrin-VERSION.zip, the product beside the
# package exactly as the program expects it under one top folder; Tavrin-VERSION.buildinfo beside
# it, the commit, time and toolchain that made it, for tools/verify-release.sh; and
# build/release/SHA256SUMS with the sums of the zip, every file in it and the build record, which a
# signed release signs too (SHA256SUMS.p7s), so that every byte of the download is the signer's. Two runs
# from one commit give the same bytes: every time in the zip, and the signing time, is
# SOURCE_DATE_EPOCH (default: the commit's). The package's files are staged (and signed) first, then
# the program is built with their sums, so that it installs no other bytes. With TAVRIN_SIGN_KEY the
# program, and every program or library of the package (the plug-in), are signed before they go in.
# A tag vVERSION or VERSION, where there is one, must be the commit released. The key is one of
#   a PEM key file, plain or passphrase-protected, with TAVRIN_SIGN_CERT: the PEM certificate,
#     the signer's first, then its chain;
#   a PKCS#12 file (.p12, .pfx), which holds the certificate and its chain too;
#   a key on a token, as a PKCS#11 URI (pkcs11:token=...;object=...), with TAVRIN_SIGN_CERT and
#     TAVRIN_SIGN_PKCS11_MODULE, the token's PKCS#11 library.
# The PIN or passphrase is read from the file TAVRIN_SIGN_PASS_FILE or from TAVRIN_SIGN_PASS. It
# reaches the tools through their environment or a pipe, never a command line (every user of the
# machine can read those) nor a file. TAVRIN_SIGN_TIMESTAMP_URL: RFC 3161 time-stamp services,
# separated by spaces, tried in order; a timestamp makes each signature, and so each zip, different.
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
python3 tools/release_artifact.py --version-ok "$version" \
  || fail "VERSION \"$version\" cannot stand in a file name: use letters and digits, with . _ + - between them"
# A release that fails leaves no zip of its version, and no sums that could be taken for its own.
rm -f "$zip" "$out/Tavrin-$version.buildinfo" "$out/SHA256SUMS" "$out/SHA256SUMS.p7s"
if [ $# -eq 2 ]; then
  package=$(given "$2")
  [ -d "$package" ] || fail "no package folder $2"
fi
# Reviewers learn which commit a version is from its tag: one that names another commit is refused.
head=$(git rev-parse -q --verify 'HEAD^{commit}' 2>/dev/null || echo none)
tagged=
for tag in "v$version" "$version"; do
  at=$(git rev-parse -q --verify "refs/tags/$tag^{commit}" 2>/dev/null) || continue
  [ "$at" = "$head" ] || fail "tag $tag is commit $at, not this one ($head): release that commit, or another version"
  tagged=$tag
done
[ -n "$tagged" ] || echo "note: no tag names version $version: reviewers must name commit $head with --commit" \
  "(tag it with git tag v$version to spare them)"
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
[[ $epoch =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is to be seconds since 1970 (outside a git checkout, set it)"
git diff --quiet HEAD -- 2>/dev/null \
  || echo "note: the sources differ from the commit, so another run from that commit gives another release"

started=$(date +%s.%N)
. tools/deps.sh
ensure_packages

# The work folder: staged and signed copies, gone when the release ends however it ends. Its place
# is fixed, so that the program's build, which reads the staged package, is configured once.
work=$out/.work
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# A signer is checked before anything is built: a key that is not the certificate's, or a
# certificate not meant for code signing, would give a signature no system accepts, and a wrong
# PIN is better heard of now.
key_spec=${TAVRIN_SIGN_KEY:-} cert=$(given "${TAVRIN_SIGN_CERT:-}")
module=$(given "${TAVRIN_SIGN_PKCS11_MODULE:-}")
pass=${TAVRIN_SIGN_PASS:-}
if [ -n "${TAVRIN_SIGN_PASS_FILE:-}" ]; then
  pass_file=$(given "$TAVRIN_SIGN_PASS_FILE")
  [ -f "$pass_file" ] && [ -r "$pass_file" ] || fail "cannot read the PIN or passphrase file $pass_file"
  # its first line, as openssl reads such a file
  IFS= read -r pass <"$pass_file" || [ -n "$pass" ] || fail "no PIN or passphrase in $pass_file"
fi
# openssl with the PIN or passphrase in its environment alone
with_pass() { TAVRIN_SIGN_PASS=$pass "$@" -passin env:TAVRIN_SIGN_PASS 2>>"$work/check.log"; }
# why a key could not be read: the tool's own words, and the PIN or passphrase if they say so
refused() {
  grep -qiE 'PIN incorrect|bad decrypt|invalid password|wrong password|mac verify' "$work/check.log" \
    && fail "$1: the PIN or passphrase is wrong"
  sed 's/^/  /' "$work/check.log" >&2
  fail "$1"
}
kind=
case $key_spec in
  '') [ -z "$cert$module" ] || fail "TAVRIN_SIGN_KEY names no key, though TAVRIN_SIGN_CERT or TAVRIN_SIGN_PKCS11_MODULE is set" ;;
  pkcs11:*)
    kind=token
    [ -n "$cert" ] || fail "a key on a token needs its certificate in TAVRIN_SIGN_CERT"
    [ -n "$module" ] || fail "a key on a token needs the token's PKCS#11 library in TAVRIN_SIGN_PKCS11_MODULE"
    [ -f "$module" ] || fail "no PKCS#11 library at $module"
    # openssl reaches the token through its PKCS#11 engine, loaded with that library
    printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nMODULE_PATH = %s\n' \
      "$module" >"$work/engine.cnf"
    own_key=$(OPENSSL_CONF=$work/engine.cnf with_pass openssl pkey -engine pkcs11 -inform engine -in "$key_spec" -pubout) || {
      grep -qiE 'load.*module|dlopen|not a pkcs' "$work/check.log" && fail "the PKCS#11 library $module does not load"
      refused "no key on the token for $key_spec (library $module)"
    } ;;
  *)
    key=$(given "$key_spec")
    [ -f "$key" ] && [ -r "$key" ] || fail "cannot read the key file $key_spec"
    if grep -q -- '-----BEGIN' "$key"; then
      kind=pem
      [ -n "$cert" ] || fail "a PEM key needs its certificate in TAVRIN_SIGN_CERT"
      if ! own_key=$(with_pass openssl pkey -in "$key" -pubout); then
        grep -q ENCRYPTED "$key" && [ -z "$pass" ] \
          && fail "$key is passphrase-protected: give the passphrase in TAVRIN_SIGN_PASS_FILE or TAVRIN_SIGN_PASS"
        refused "$key holds no PEM private key that can be read"
      fi
    else
      kind=pkcs12
      [ -z "$cert" ] || fail "a PKCS#12 file holds its certificate: leave TAVRIN_SIGN_CERT unset"
      # older .pfx files use ciphers that OpenSSL 3 keeps in its legacy provider
      p12() { with_pass openssl pkcs12 -in "$key" "$@" || with_pass openssl pkcs12 -legacy -in "$key" "$@"; }
      p12 -nokeys -clcerts >"$work/signer.pem" || refused "$key is no PKCS#12 file that can be read"
      [ -s "$work/signer.pem" ] || fail "$key holds no certificate for its key"
      cert=$work/signer.pem cert_name=$key
      own_key=$(p12 -nocerts -nodes | openssl pkey -pubout 2>>"$work/check.log") || refused "$key holds no private key"
    fi ;;
esac
if [ -n "$kind" ]; then
  cert_name=${cert_name:-$cert}
  cert_key=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) || fail "$cert_name holds no PEM certificate"
  [ "$cert_key" = "$own_key" ] || fail "the certificate in $cert_name does not match the key in $key_spec"
  openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' \
    || fail "the certificate in $cert_name is not meant for code signing (its extended key usage lacks Code Signing)"
  usage=$(openssl x509 -in "$cert" -noout -ext keyUsage 2>/dev/null)
  [ -z "$usage" ] || grep -q 'Digital Signature' <<<"$usage" \
    || fail "the certificate in $cert_name is not meant for code signing (its key usage lacks Digital Signature)"
fi

# The release's own build: the sample package, and the program with the sums of the package as
# staged. tools/verify-release.sh builds the recorded commit with the same command.
stage=$work/Tavrin-$version
builder=$top/build/x86-release
cmake -S "$top" -B "$builder" --toolchain "$top/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DTAVRIN_PACKAGE="$stage" >/dev/null
cmake --build "$builder" --target TavrinPlugin >/dev/null
[ $# -eq 2 ] || package=$builder/sample-package

# What goes into the zip, staged in the work folder: the package's files as the program's table
# names them, then the program; those are what get signed, never the build's or the author's own.
# Each as it was before it was signed is kept beside, for the record.
# Debian's Python, which has the libraries the release's module uses.
artifact() { /usr/bin/python3 tools/release_artifact.py "$@"; }
mapfile -t files < <(artifact --files core/package.h)
for f in "${files[@]}"; do
  [ -f "$package/$f" ] || fail "the package in $package lacks $f"
  mkdir -p "$(dirname "$stage/$f")" "$(dirname "$work/unsigned/$f")"
  cp "$package/$f" "$stage/$f"
  cp "$package/$f" "$work/unsigned/$f"
done
is_pe() { artifact --is-pe "$1"; }
has_signature() { artifact --is-signed "$1"; }

# sign FILE: signs it in place with the release's signer at the release's time, and timestamps it.
sign() {
  local name=${1#"$stage"/} url
  # the PIN or passphrase through a pipe, which the tool reads as a file
  osslsigncode sign "${signer[@]}" -h sha256 -n "Tavrin Plugin Setup" -time "$epoch" -in "$1" -out "$work/signed" \
    >"$work/sign.log" 2>&1 3< <(printf '%s\n' "$pass") || { cat "$work/sign.log" >&2; fail "osslsigncode could not sign $name"; }
  mv "$work/signed" "$1"
  [ -n "${TAVRIN_SIGN_TIMESTAMP_URL:-}" ] || return 0
  for url in $TAVRIN_SIGN_TIMESTAMP_URL; do
    if osslsigncode add -h sha256 -ts "$url" -in "$1" -out "$work/stamped" >"$work/stamp.log" 2>&1; then
      mv "$work/stamped" "$1"
      echo "timestamped $name by $url"
      return 0
    fi
    echo "the time-stamp service $url did not answer" >&2
  done
  # Never an untimestamped release where a timestamp was asked for.
  fail "no time-stamp service answered (TAVRIN_SIGN_TIMESTAMP_URL: $TAVRIN_SIGN_TIMESTAMP_URL)"
}

if [ -n "$kind" ]; then
  case $kind in
    pem) signer=(-certs "$cert" -key "$key") ;;
    pkcs12) signer=(-pkcs12 "$key") ;;
    token) signer=(-pkcs11module "$module" -certs "$cert" -key "$key_spec") ;;
  esac
  [ -z "$pass" ] || signer+=(-readpass /dev/fd/3)
  [ -n "${TAVRIN_SIGN_TIMESTAMP_URL:-}" ] \
    || echo "warning: no timestamp (TAVRIN_SIGN_TIMESTAMP_URL is not set): the signatures stop being valid" \
      "when the certificate expires, and Windows then treats the download as unsigned" >&2
  # Everything that runs: each program or library of the package (the plug-in goes into every
  # installer built with it), then the program, built with the sums of the package as signed. One
  # the author signed already is left as it is.
  for f in "${files[@]}"; do
    is_pe "$stage/$f" || continue
    if has_signature "$stage/$f"; then
      echo "$f is signed already: left as it is"
      continue
    fi
    sign "$stage/$f"
    echo "signed $f as $(openssl x509 -in "$cert" -noout -subject)"
  done
else
  echo "not signed: TAVRIN_SIGN_KEY is not set"
fi
cmake --build "$builder" --target TavrinSetup >/dev/null
cp "$builder/TavrinSetup.exe" "$stage/TavrinSetup.exe"
cp "$builder/TavrinSetup.exe" "$work/unsigned/TavrinSetup.exe"
if [ -n "$kind" ]; then
  sign "$stage/TavrinSetup.exe"
  echo "signed TavrinSetup.exe as $(openssl x509 -in "$cert" -noout -subject)"
fi

# Written beside, then renamed: no half-written zip ever stands under the final name. The record
# lets anyone rebuild the program and the sample package and compare (tools/verify-release.sh).
artifact --zip "$work/release.zip" "$stage" core/package.h "$epoch"
git diff --quiet HEAD -- 2>/dev/null && sources="as committed" || sources="changed since the commit"
[ $# -eq 2 ] && kind_of_package=given || kind_of_package="built from this repository at the commit"
artifact --record "$work/release.buildinfo" core/package.h "$version" "$head" "$sources" \
  "$epoch" "$kind_of_package" "$stage" "$work/unsigned" "$work/release.zip"
sum() { sha256sum <"$1" | cut -d' ' -f1; }
{
  printf '%s  %s\n' "$(sum "$work/release.zip")" "Tavrin-$version.zip"
  for f in TavrinSetup.exe "${files[@]}"; do
    printf '%s  %s\n' "$(sum "$stage/$f")" "Tavrin-$version/$f"
  done
  printf '%s  %s\n' "$(sum "$work/release.buildinfo")" "Tavrin-$version.buildinfo"
} >"$work/SHA256SUMS"
# The signer's signature over the sums, and through them over every byte of the download: the zip
# and the record, which nothing else signs, and each signature's timestamp, which can be taken
# off or put on anew without touching the signature it stamps.
if [ -n "$kind" ]; then
  cms=(openssl cms -sign -binary -md sha256 -in "$work/SHA256SUMS" -outform DER -out "$work/SHA256SUMS.p7s" -signer "$cert")
  case $kind in
    pem) with_pass "${cms[@]}" -inkey "$key" ;;
    pkcs12) with_pass "${cms[@]}" -inkey <(p12 -nocerts -nodes) ;;
    token) OPENSSL_CONF=$work/engine.cnf with_pass "${cms[@]}" -engine pkcs11 -keyform engine -inkey "$key_spec" ;;
  esac || refused "openssl could not sign SHA256SUMS"
fi
mv "$work/release.zip" "$zip"
mv "$work/release.buildinfo" "$out/Tavrin-$version.buildinfo"
mv "$work/SHA256SUMS" "$out/SHA256SUMS"
[ -z "$kind" ] || mv "$work/SHA256SUMS.p7s" "$out/SHA256SUMS.p7s"

echo "release: $zip, $(stat -c %s "$zip") bytes, in $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s"
echo "program: $(stat -c %s "$stage/TavrinSetup.exe") bytes ($(stat -c %s "$work/unsigned/TavrinSetup.exe") unsigned)"
sed 's/^/  /' "$out/SHA256SUMS"
