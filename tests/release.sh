#!/usr/bin/env bash
# The release as a user gets it, signed by a throwaway CA's code-signing certificate: from a plain
# PEM key twice, the same bytes; from a key on a SoftHSM token, a passphrase-protected PKCS#12 file
# and an encrypted PEM key, each timestamped by a local RFC 3161 service behind one that refuses.
# Each is checked as a user would, installs, and refuses a changed file of its own package. Then
# each attack of someone who can replace the download, refused by tools/verify-release.sh; then
# bad signers, each with its message and no zip.
# Usage: release.sh STATE_DIR PRODUCT CLIENT SCRATCH_DIR
set -euo pipefail
state=$1 product=$2 client=$3 scratch=$4
plugin=$(dirname "$product")/sample-package/Plugin/Tavrin.dll
# the program with the sums of the sample package as built: an unsigned release's
with_sums=$(dirname "$product")/TavrinSetupWithSums.exe
top=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$scratch"
mkdir -p "$scratch/tokens" "$scratch/shims"
cd "$scratch"
export SOURCE_DATE_EPOCH=1700000000
pin=pin-7Qx2 passphrase=pass-9Rk4 version=0.0-check zip=$top/build/release/Tavrin-0.0-check.zip
cert() { # NAME SUBJECT EXTENDED_USAGE [KEY_USAGE]: a certificate of the test CA, and its key
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" -CA ca.pem -CAkey ca.key \
    -addext basicConstraints=CA:FALSE -addext "extendedKeyUsage=$3" -addext "keyUsage=${4:-digitalSignature}" 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tavrin test CA" 2>/dev/null
cert signer "Tavrin test signer" codeSigning
cert twin "Tavrin test signer" codeSigning # the author's name, another key
cert other "Tavrin other signer" codeSigning
cert tsa "Tavrin test TSA" critical,timeStamping
cert web "Tavrin test web server" serverAuth
cert encipher "Tavrin test encipherment" codeSigning keyEncipherment
# a code-signing certificate and a time-stamp service of no CA the user trusts
openssl req -x509 -newkey rsa:2048 -nodes -keyout outsider.key -out outsider.pem -days 2 -subj "/CN=Tavrin outsider" \
  -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout outside-tsa.key -out outside-tsa.pem -days 2 -subj "/CN=Outside TSA" \
  -addext extendedKeyUsage=critical,timeStamping 2>/dev/null
echo "$passphrase" >pass.txt && echo "$pin" >pin.txt
openssl pkey -in signer.key -aes256 -passout file:pass.txt -out encrypted.key
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:pass.txt -out signer.p12
openssl pkcs12 -export -inkey web.key -in web.pem -passout file:pass.txt -out web.p12
export SOFTHSM2_CONF=$scratch/softhsm2.conf
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$scratch" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label tavrin --pin "$pin" --so-pin 5678 >/dev/null
softhsm2-util --import signer.key --token tavrin --label signer --id 01 --pin "$pin" >/dev/null
module=$(find /usr/lib -name libsofthsm2.so | head -n 1)

# The time-stamp services: openssl ts answering each query posted to /0 (the CA's) or /1 (outside it).
for t in tsa outside-tsa; do
  printf '[tsa]\ndefault_tsa = t\n[t]\nserial = %s.serial\nsigner_cert = %s.pem\nsigner_key = %s.key
signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n' $t $t $t >$t.cnf
done
/usr/bin/python3 "$top/tests/tamper.py" tsa tsa.cnf outside-tsa.cnf >tsa.port &
trap "kill $!" EXIT
for _ in $(seq 50); do [ -s tsa.port ] && break; sleep 0.1; done
tsa=http://127.0.0.1:$(cat tsa.port)
stamps="http://127.0.0.1:1/ $tsa/0" # the first refuses

# Every command line the release gives openssl and osslsigncode, to look for a PIN or passphrase.
for tool in openssl osslsigncode; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>%s/argv.log\nexec %s "$@"\n' "$scratch" "$(command -v $tool)" >shims/$tool
  chmod +x shims/$tool
done
export PATH=$scratch/shims:$PATH

# A release checked as a user would: the sums, then the signatures and, asked for, their
# timestamps. The zip's every time and an untimestamped signature's time are SOURCE_DATE_EPOCH;
# without its signature the plug-in is the one built.
check() { # STAMPED
  rm -rf Tavrin-$version unsigned
  cp "$zip" "${zip%.zip}.buildinfo" "$top/build/release/SHA256SUMS" .
  python3 -m zipfile -e Tavrin-$version.zip .
  sha256sum --quiet -c SHA256SUMS
  unzip -Z -T Tavrin-$version.zip | grep -q "$(date -u -d @$SOURCE_DATE_EPOCH +%Y%m%d.%H%M%S) Tavrin-$version/TavrinSetup.exe"
  want="Signing time: $(date -u -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y') GMT"
  [ "$1" != stamped ] || want='Timestamp Server Signature verification: ok'
  for f in TavrinSetup.exe Plugin/Tavrin.dll; do
    osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in Tavrin-$version/$f >verify.log
    grep -q "$want" verify.log
  done
  osslsigncode remove-signature -in Tavrin-$version/Plugin/Tavrin.dll -out unsigned >/dev/null
  cmp unsigned "$plugin"
  [ ! -e "$top/build/release/.work" ] || { echo "the release's work folder left behind"; exit 1; }
}
# verdicts ZIP [OPTIONS]: verify-release.sh's answer, with every check's verdict in verdicts.txt
verdicts() {
  local status=0
  "$top/tools/verify-release.sh" "$@" >verdicts.txt || status=$?
  for c in layout zip sums record signature rebuild; do
    grep -q "^\(ok  \|FAIL\) $c:" verdicts.txt || { echo "no verdict on $c"; cat verdicts.txt; exit 1; }
  done
  return $status
}
# unpack: the last release made, with what lies beside it, into t/
unpack() {
  rm -rf t && mkdir t
  cp "$zip" "${zip%.zip}.buildinfo" "$top"/build/release/SHA256SUMS* t/
  (cd t && python3 -m zipfile -e Tavrin-$version.zip .)
}
# What someone who can replace the download does to t/: seal, zip ATTACK, pad FILE (tamper.py),
# and osslsign FILE CERT [TSA [OPTIONS]]: FILE signed anew by CERT's key, timestamped by the
# service TSA (0, the CA's, by default; "none" for no timestamp).
tamper() { /usr/bin/python3 "$top/tests/tamper.py" "$@"; }
seal() { tamper seal t; }
osslsign() {
  rm -f resign.exe && osslsigncode remove-signature -in "$1" -out resign.exe >/dev/null 2>&1 || cp "$1" resign.exe
  osslsigncode sign -certs "$2.pem" -key "$2.key" -h sha256 $([ "${3:-0}" = none ] || echo -ts "$tsa/${3:-0}") \
    "${@:4}" -in resign.exe -out "$1.new" >/dev/null && mv "$1.new" "$1"
}
# attacks: rows CHECK|FINDING|FAILS|OPTIONS|WHAT. WHAT changes the release unpacked in t/, and
# verify-release.sh with OPTIONS must refuse it: FAILS verdicts fail, one of them CHECK's, naming
# what it found.
attacks() {
  while IFS='|' read -r check finding count options what; do
    unpack
    eval "$what"
    verdicts t/Tavrin-$version.zip $options && { echo "taken: $what"; cat verdicts.txt; exit 1; }
    [ "$(grep -c '^FAIL' verdicts.txt)" = "$count" ] && grep -q "^FAIL $check: .*$finding" verdicts.txt \
      || { echo "$what: expected FAIL $check: $finding ($count)"; cat verdicts.txt; exit 1; }
  done
}

TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version
mv "$zip" first.zip
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version >/dev/null 2>&1
cmp first.zip "$zip" # the same bytes
check plain
"$top/tests/makensis.sh" "$state" Tavrin-$version/TavrinSetup.exe Tavrin-$version "$client" "$scratch/install"
# The release's program refuses a changed file of its own package.
printf '!' | dd of=Tavrin-$version/Include/Tavrin.nsh bs=1 seek=10 conv=notrunc 2>/dev/null
"$top/tests/makensis.sh" "$state" Tavrin-$version/TavrinSetup.exe Tavrin-$version "$client" "$scratch/install" \
  >refused.log 2>&1 && exit 1
grep -q '^message: .*\\Include\\Tavrin.nsh' refused.log \
  && grep -q '^It is not the file this setup was released with: damaged or changed\.' refused.log || { cat refused.log; exit 1; }

export TAVRIN_SIGN_TIMESTAMP_URL=$stamps
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY="pkcs11:token=tavrin;object=signer" TAVRIN_SIGN_PKCS11_MODULE=$module \
  TAVRIN_SIGN_PASS_FILE=pin.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
# The author pinned by the fingerprint as openssl prints it, and the commit named, as no tag does.
head=$(git -C "$top" rev-parse HEAD)
author=$(openssl x509 -in signer.pem -noout -fingerprint -sha256 | cut -d= -f2)
pins="--ca ca.pem --signer $author --commit $head"
verdicts "$zip" $pins || { cat verdicts.txt; exit 1; } # rebuilds the recorded commit: the tree's own when committed
grep -q '^ok   signature: every program and library, by /CN=Tavrin test signer, timestamped [^G]* GMT$' verdicts.txt
attacks <<ROWS
sums|SHA256SUMS holds, but the author has not signed it (no SHA256SUMS.p7s beside it)|1|$pins|rm t/SHA256SUMS.p7s
zip|from byte 0 on, where that has the local header of Tavrin-$version/|2|$pins|tamper zip before t
zip|where that has the end of the central directory|2|$pins|tamper zip after t
zip|where that has the end of the central directory|2|$pins|tamper zip comment t
zip|where that has the local header of Tavrin-$version/Plugin/Tavrin.dll|2|$pins|tamper zip extra t
zip|where that has the local header of Tavrin-$version/Example/TavrinTest.nsi|2|$pins|tamper zip deflated t
zip|where that has the local header of Tavrin-$version/Plugin/Tavrin.dll|2|$pins|tamper zip dated t
zip|where that has the local header of Tavrin-$version/Plugin/,|2|$pins|tamper zip folder t
layout|not a zip that can be read: File name in directory|5|$pins|tamper zip names t
layout|extra Tavrin-$version/Plugin/Other.dll|3|$pins|tamper zip added t
layout|missing Tavrin-$version/Readme.txt|5|$pins|tamper zip taken t
signature|Plugin/Tavrin.dll: not signed|3|$pins|osslsigncode remove-signature -in t/Tavrin-$version/Plugin/Tavrin.dll -out x >/dev/null; mv x t/Tavrin-$version/Plugin/Tavrin.dll; seal
signature|none: the release is not signed, though an author's fingerprint is given|3|$pins|for f in TavrinSetup.exe Plugin/Tavrin.dll; do osslsigncode remove-signature -in t/Tavrin-$version/\$f -out x >/dev/null; mv x t/Tavrin-$version/\$f; done; seal
signature|Plugin/Tavrin.dll: signed by /CN=Tavrin other signer (SHA-256 .*), whose fingerprint is not the author's|3|$pins|osslsign t/Tavrin-$version/Plugin/Tavrin.dll other; seal
signature|Plugin/Tavrin.dll: signed by /CN=Tavrin test signer (SHA-256 .*), whose fingerprint is not the author's|3|$pins|osslsign t/Tavrin-$version/Plugin/Tavrin.dll twin; seal
signature|TavrinSetup.exe: its signature does not verify|3|$pins|osslsign t/Tavrin-$version/TavrinSetup.exe outsider; osslsign t/Tavrin-$version/Plugin/Tavrin.dll outsider; seal
signature|TavrinSetup.exe: signed by .*, but no author's fingerprint is known here: give the author's with --signer|2|--ca ca.pem --commit $head|true
signature|Plugin/Tavrin.dll: its signature carries another signature|3|$pins|osslsigncode sign -certs other.pem -key other.key -h sha256 -nest -in t/Tavrin-$version/Plugin/Tavrin.dll -out x >/dev/null; mv x t/Tavrin-$version/Plugin/Tavrin.dll; seal
signature|Plugin/Tavrin.dll: its signature carries certificates or lists besides its signers' chains|3|$pins|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer 0 -ac outsider.pem; seal
signature|Plugin/Tavrin.dll: [0-9]* bytes after its signature, where only padding may be|3|$pins|tamper pad t/Tavrin-$version/Plugin/Tavrin.dll; seal
signature|Plugin/Tavrin.dll: its certificate table is not where|3|$pins|printf 'MZ payload' >>t/Tavrin-$version/Plugin/Tavrin.dll; seal
signature|Plugin/Tavrin.dll: not timestamped, though TavrinSetup.exe is|3|$pins|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer none; seal
signature|Plugin/Tavrin.dll: its timestamp's signature does not verify against --ca|3|$pins|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer 1; seal
signature|TavrinSetup.exe: its certificate table is not where|3|$pins|truncate -s -100 t/Tavrin-$version/TavrinSetup.exe; seal
sums|SHA256SUMS does not hold for Tavrin-$version.buildinfo|1|$pins|sed -i 's/^toolchain: cmake .*/toolchain: cmake 9/' t/Tavrin-$version.buildinfo
record|it names version 9.9, the zip $version|3|$pins|sed -i 's/^version: .*/version: 9.9/' t/Tavrin-$version.buildinfo; seal
record|commit: 'HEAD' is not a full commit hash|4|$pins|sed -i 's/^commit: .*/commit: HEAD/' t/Tavrin-$version.buildinfo; seal
record|the record names commit .*, not $head as --commit says|3|$pins|sed -i "s/^commit: .*/commit: \$(git -C "$top" rev-parse HEAD~1)/" t/Tavrin-$version.buildinfo; seal
record|no source-date-epoch|4|$pins|sed -i '/^source-date-epoch/d' t/Tavrin-$version.buildinfo; tamper resum t
record|no tag names version $version (v$version or $version): name the commit you expect with --commit|2|--ca ca.pem --signer $author|true
ROWS
TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=encrypted.key TAVRIN_SIGN_PASS_FILE=pass.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped

# An unsigned release: the same bytes twice, its program the tested one with the sample's sums;
# one byte of a file changed, with the sums and the record remade, refused by the rebuild.
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cp "$zip" first.zip
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cmp first.zip "$zip"
unpack
cmp t/Tavrin-$version/TavrinSetup.exe "$with_sums"
verdicts "$zip" --commit $head || { cat verdicts.txt; exit 1; }
for f in TavrinSetup.exe Readme.txt Example/TavrinTest.nsi Include/Tavrin.nsh Plugin/Tavrin.dll; do
  attacks <<ROW
rebuild|$f differs from what commit .* builds (bytes 201 to 201)|1|--commit $head|printf '\\xcc' | dd of=t/Tavrin-$version/$f bs=1 seek=200 conv=notrunc 2>/dev/null; seal
ROW
done
# This verifier in a checkout of a later commit rebuilds the release's own; a tag there that names
# another commit is refused, by the verifier and by the release.
git clone -q "$top" later
(cd later && sed -i 's/Installation aborted/Installation stopped/' core/install.cpp \
  && git -c user.name=t -c user.email=t@t commit -qam later)
cp "$top"/tools/*.sh "$top"/tools/*.py later/tools/
later/tools/verify-release.sh "$zip" --commit $head >verdicts.txt || { cat verdicts.txt; exit 1; }
git -C later tag v$version
later/tools/verify-release.sh "$zip" >verdicts.txt && exit 1
grep -q "^FAIL record: .*: tag v$version is commit .*, not the recorded $head" verdicts.txt || { cat verdicts.txt; exit 1; }
git -C later tag -f v$version HEAD~1 >/dev/null
(cd later && echo >>README.md && git -c user.name=t -c user.email=t@t commit -qam again)
later/tools/release.sh $version >release.log 2>&1 && exit 1
grep -q "tag v$version is commit .*, not this one" release.log || { cat release.log; exit 1; }

# A package from outside, its plug-in signed by its author already: the release leaves that as it
# is. It is checked against the package named, and refused without one or against another.
cp -r "$(dirname "$product")/sample-package" given
osslsign given/Plugin/Tavrin.dll signer
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version given >release.log 2>&1
grep -q 'Plugin/Tavrin.dll is signed already: left as it is' release.log
unpack
cmp given/Plugin/Tavrin.dll t/Tavrin-$version/Plugin/Tavrin.dll
verdicts "$zip" $pins --package given || { cat verdicts.txt; exit 1; }
cp -r given changed-package
echo changed >>changed-package/Include/Tavrin.nsh
attacks <<ROWS
package|name the author's published package .* with --package DIR|1|$pins|true
package|Include/Tavrin.nsh differs from .*changed-package|1|$pins --package changed-package|true
ROWS

# Bad signers, each after a good release of the same version: its message, and none of that
# release's files left to be taken for the failed one's.
while IFS='|' read -r message settings; do
  if env $settings "$top/tools/release.sh" $version </dev/null >/dev/null 2>bad.log; then
    echo "taken: $settings"; exit 1
  fi
  grep -q "$message" bad.log || { echo "$settings:"; cat bad.log; exit 1; }
  [ ! -e "$zip" ] && [ ! -e "${zip%.zip}.buildinfo" ] && [ ! -e "$top/build/release/SHA256SUMS" ] \
    || { echo "$settings: an earlier release's files left"; exit 1; }
done <<ROWS
does not match the key|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=ca.key
PIN or passphrase is wrong|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=pkcs11:token=tavrin;object=signer TAVRIN_SIGN_PKCS11_MODULE=$module TAVRIN_SIGN_PASS=pin-wrong
no key on the token|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=pkcs11:token=tavrin;object=none TAVRIN_SIGN_PKCS11_MODULE=$module TAVRIN_SIGN_PASS=$pin
no PKCS#11 library|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=pkcs11:token=tavrin;object=signer TAVRIN_SIGN_PKCS11_MODULE=none.so TAVRIN_SIGN_PASS=$pin
does not load|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=pkcs11:token=tavrin;object=signer TAVRIN_SIGN_PKCS11_MODULE=ca.pem TAVRIN_SIGN_PASS=$pin
cannot read the PIN|TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS_FILE=none.txt
PIN or passphrase is wrong|TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=pass-wrong
PIN or passphrase is wrong|TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=encrypted.key TAVRIN_SIGN_PASS=pass-wrong
not meant for code signing|TAVRIN_SIGN_KEY=web.p12 TAVRIN_SIGN_PASS=$passphrase
key usage lacks Digital Signature|TAVRIN_SIGN_CERT=encipher.pem TAVRIN_SIGN_KEY=encipher.key
no time-stamp service answered|TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase TAVRIN_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/
ROWS
grep -q "sign .*-pkcs11module.*Plugin/Tavrin.dll" argv.log # the plug-in's signing is among those looked at
grep -e "$pin" -e "$passphrase" argv.log && { echo "a PIN or passphrase on a command line"; exit 1; }
cd / && rm -rf "$scratch"
