#!/usr/bin/env bash
# The release as a user gets it, signed by a throwaway CA's code-signing certificate: from a plain
# PEM key twice, the same bytes; from a key on a SoftHSM token, a passphrase-protected PKCS#12 file
# and an encrypted PEM key, each timestamped by a local RFC 3161 service behind one that refuses.
# Each is checked as a user would, installs, and refuses a changed file of its own package. Then
# each attack of someone who can replace the download, on a copy of a release made once, refused
# by tools/verify-release.sh in a few runs; then bad signers, each with its message and no zip.
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
  unzip -Z -T Tavrin-$version.zip | grep "$(date -u -d @$SOURCE_DATE_EPOCH +%Y%m%d.%H%M%S) Tavrin-$version/TavrinSetup.exe" >/dev/null # all read: no SIGPIPE
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
# keep NAME: the last release made, with what lies beside it and the zip unpacked, as r/NAME.
keep() {
  rm -rf r/$1 && mkdir -p r/$1
  cp "$zip" "${zip%.zip}.buildinfo" "$top"/build/release/SHA256SUMS* r/$1/
  unzip -q r/$1/Tavrin-$version.zip -d r/$1
}
# What someone who can replace the download does to t/: seal, zip ATTACK, pad FILE, forge, header
# (tamper.py), and osslsign FILE CERT [TSA [OPTIONS]]: FILE signed anew by CERT's key, timestamped
# by the service TSA (0, the CA's, by default; "none" for no timestamp).
tamper() { /usr/bin/python3 "$top/tests/tamper.py" "$@"; }
seal() { tamper seal t; }
osslsign() {
  rm -f resign.exe && osslsigncode remove-signature -in "$1" -out resign.exe >/dev/null 2>&1 || cp "$1" resign.exe
  osslsigncode sign -certs "$2.pem" -key "$2.key" -h sha256 $([ "${3:-0}" = none ] || echo -ts "$tsa/${3:-0}") \
    "${@:4}" -in resign.exe -out "$1.new" >/dev/null && mv "$1.new" "$1"
}
# rows [OPTIONS]: rows RELEASE|CHECK|FINDING|FAILS|WHAT, each WHAT changing a copy of r/RELEASE in
# t/, all checked in one run of $verify (tools/verify-release.sh) with OPTIONS, under $limit where
# set: each copy's verdicts are FAILS failures, one of them CHECK's naming FINDING (FAILS 0: every
# check holds, CHECK's saying FINDING), and no verdict is longer than 400 characters.
rows() {
  local n=0 status=0 want=0 release check finding count what label c
  rm -rf rows && mkdir rows
  while IFS='|' read -r release check finding count what; do
    n=$((n + 1))
    rm -rf t && cp -a r/$release t
    eval "$what" </dev/null
    mv t rows/$n && printf '%s|%s|%s|%s\n' "$check" "$finding" "$count" "$what" >rows/$n.row
    [ "$count" = 0 ] || want=1
  done
  ${limit:-} "${verify:-$top/tools/verify-release.sh}" rows/*/Tavrin-$version.zip "$@" >rows/out.txt 2>&1 || status=$?
  [ $status = $want ] || { echo "the verifier ended with $status, not $want (124: it took more than its time)"; cat rows/out.txt; exit 1; }
  awk -v n=$n '/^== / { file = $2; sub(/[^\/]*$/, "verdicts.txt", file); next }
    n == 1 { file = "rows/1/verdicts.txt" } file { print > file }' rows/out.txt
  for i in $(seq $n); do
    IFS='|' read -r check finding count what <rows/$i.row
    label=FAIL; [ "$count" != 0 ] || label='ok  '
    for c in layout zip sums record signature rebuild; do
      grep -q "^\(ok  \|FAIL\) $c:" rows/$i/verdicts.txt || { echo "$what: no verdict on $c"; cat rows/out.txt; exit 1; }
    done
    [ "$(grep -c '^FAIL' rows/$i/verdicts.txt)" = "$count" ] && grep -q "^$label $check: .*$finding" rows/$i/verdicts.txt \
      || { echo "$what: expected $label $check: $finding ($count failing)"; cat rows/$i/verdicts.txt; exit 1; }
  done
  ! grep -E '^(ok  |FAIL) .{396}' rows/out.txt || { echo "a verdict longer than 400 characters"; exit 1; }
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
keep signed
TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=encrypted.key TAVRIN_SIGN_PASS_FILE=pass.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped

# An unsigned release: the same bytes twice, its program the tested one with the sample's sums.
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cp "$zip" first.zip
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cmp first.zip "$zip"
keep unsigned
cmp r/unsigned/Tavrin-$version/TavrinSetup.exe "$with_sums"
# A package from outside, its plug-in signed by its author already: the release leaves that as it
# is. It is checked against the package named, and refused without one or against another.
cp -r "$(dirname "$product")/sample-package" given
osslsign given/Plugin/Tavrin.dll signer
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version given >release.log 2>&1
grep -q 'Plugin/Tavrin.dll is signed already: left as it is' release.log
keep given
cmp given/Plugin/Tavrin.dll r/given/Tavrin-$version/Plugin/Tavrin.dll
cp -r given changed-package
echo changed >>changed-package/Include/Tavrin.nsh

# The author pinned by the fingerprint as openssl prints it, and the commit named, as no tag does:
# each release whole, then attacked, its sums and record rewritten to match.
head=$(git -C "$top" rev-parse HEAD)
author=$(openssl x509 -in signer.pem -noout -fingerprint -sha256 | cut -d= -f2)
pins="--ca ca.pem --signer $author --commit $head"
zero=$(printf %064d 0)
sign_sums() { openssl cms -sign -binary -in t/SHA256SUMS -signer signer.pem -inkey signer.key -outform DER -out t/SHA256SUMS.p7s "$@"; }
rows $pins --package given <<ROWS
signed|signature|every program and library, by /CN=Tavrin test signer, timestamped [^G]* GMT$|0|true
signed|sums|and is signed by /CN=Tavrin test signer$|0|sign_sums -md sha256 -keyid
given|package|byte for byte the package in .*/given, signatures removed|0|true
signed|sums|SHA256SUMS holds, but the author has not signed it (no SHA256SUMS.p7s beside it)|1|rm t/SHA256SUMS.p7s
signed|sums|SHA256SUMS.p7s is made with sha1, not SHA-256 or better|1|sign_sums -md sha1
signed|sums|SHA256SUMS holds, but its signature carries certificates or lists besides its signers' chains|1|sed -i 's/^source-date-epoch: .*/source-date-epoch: 1600000000/' t/Tavrin-$version.buildinfo; seal; tamper forge t signer.pem invisible
signed|sums|SHA256SUMS holds, but its signature carries certificates or lists besides its signers' chains|1|tamper forge t signer.pem fullwidth
signed|sums|SHA256SUMS.p7s does not sign it as it stands|1|tamper forge t signer.pem case
signed|sums|Tavrin-$version/1 (which is no file of the release), .*, and [0-9]* more$|1|seq 2000 | sed 's|.*|$zero  Tavrin-$version/&|' >>t/SHA256SUMS
signed|zip|from byte 0 on, where that has the local header of Tavrin-$version/|2|tamper zip before t
signed|zip|where that has the end of the central directory|2|tamper zip after t
signed|zip|where that has the end of the central directory|2|tamper zip comment t
signed|zip|where that has the local header of Tavrin-$version/Plugin/Tavrin.dll|2|tamper zip extra t
signed|layout|Tavrin-$version/Example/TavrinTest.nsi is compressed (method 8), where a release stores every entry|6|tamper zip deflated t
signed|zip|where that has the local header of Tavrin-$version/Plugin/Tavrin.dll|2|tamper zip dated t
signed|zip|where that has the local header of Tavrin-$version/Plugin/,|2|tamper zip folder t
signed|layout|not a zip that can be read: File name in directory|5|tamper zip names t
signed|layout|extra Tavrin-$version/Plugin/Other.dll|3|tamper zip added t
signed|layout|missing Tavrin-$version/Readme.txt|5|tamper zip taken t
signed|signature|Plugin/Tavrin.dll: not signed|3|osslsigncode remove-signature -in t/Tavrin-$version/Plugin/Tavrin.dll -out x >/dev/null; mv x t/Tavrin-$version/Plugin/Tavrin.dll; seal
signed|signature|none: the release is not signed, though an author's fingerprint is given|3|for f in TavrinSetup.exe Plugin/Tavrin.dll; do osslsigncode remove-signature -in t/Tavrin-$version/\$f -out x >/dev/null; mv x t/Tavrin-$version/\$f; done; seal
signed|signature|Plugin/Tavrin.dll: signed by /CN=Tavrin other signer (SHA-256 .*), whose fingerprint is not the author's|3|osslsign t/Tavrin-$version/Plugin/Tavrin.dll other; seal
signed|signature|Plugin/Tavrin.dll: signed by /CN=Tavrin test signer (SHA-256 .*), whose fingerprint is not the author's|3|osslsign t/Tavrin-$version/Plugin/Tavrin.dll twin; seal
signed|signature|TavrinSetup.exe: its signature does not verify|3|osslsign t/Tavrin-$version/TavrinSetup.exe outsider; osslsign t/Tavrin-$version/Plugin/Tavrin.dll outsider; seal
signed|signature|Plugin/Tavrin.dll: its signature carries another signature|3|osslsigncode sign -certs other.pem -key other.key -h sha256 -nest -in t/Tavrin-$version/Plugin/Tavrin.dll -out x >/dev/null; mv x t/Tavrin-$version/Plugin/Tavrin.dll; seal
signed|signature|Plugin/Tavrin.dll: its signature carries certificates or lists besides its signers' chains|3|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer 0 -ac outsider.pem; seal
signed|signature|Plugin/Tavrin.dll: [0-9]* bytes after its signature, where only padding may be|3|tamper pad t/Tavrin-$version/Plugin/Tavrin.dll; seal
signed|signature|Plugin/Tavrin.dll: its certificate table is not where|3|printf 'MZ payload' >>t/Tavrin-$version/Plugin/Tavrin.dll; seal
signed|signature|Plugin/Tavrin.dll: its checksum does not hold|3|tamper header t/Tavrin-$version/Plugin/Tavrin.dll CheckSum 1; seal
signed|signature|TavrinSetup.exe: not signed: its header's data directory has 4 entries|4|tamper header t/Tavrin-$version/TavrinSetup.exe NumberOfRvaAndSizes 4; seal
signed|signature|Plugin/Tavrin.dll: not timestamped, though TavrinSetup.exe is|3|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer none; seal
signed|signature|Plugin/Tavrin.dll: its timestamp's signature does not verify against --ca|3|osslsign t/Tavrin-$version/Plugin/Tavrin.dll signer 1; seal
signed|signature|TavrinSetup.exe: its certificate table is not where|3|truncate -s -100 t/Tavrin-$version/TavrinSetup.exe; seal
signed|sums|SHA256SUMS does not hold for Tavrin-$version.buildinfo|1|sed -i 's/^toolchain: cmake .*/toolchain: cmake 9/' t/Tavrin-$version.buildinfo
signed|record|it names version 9.9, the zip $version|3|sed -i 's/^version: .*/version: 9.9/' t/Tavrin-$version.buildinfo; seal
signed|record|commit: 'HEAD' is not a full commit hash|4|sed -i 's/^commit: .*/commit: HEAD/' t/Tavrin-$version.buildinfo; seal
signed|record|the record names commit .*, not $head as --commit says|3|sed -i "s/^commit: .*/commit: \$(git -C "$top" rev-parse HEAD~1)/" t/Tavrin-$version.buildinfo; seal
signed|record|no source-date-epoch|4|sed -i '/^source-date-epoch/d' t/Tavrin-$version.buildinfo; tamper resum t
signed|record|its sum of Tavrin-$version/Plugin/Tavrin.dll before it was signed is not|2|sed -i 's/^unsigned-sha256: [0-9a-f]*\( .*Tavrin.dll\)$/unsigned-sha256: $zero\1/' t/Tavrin-$version.buildinfo; tamper resum t
ROWS
# Without an author: an unsigned release, whole and with one byte of a file changed, refused by the
# rebuild; a signed one; a package given without --package. Nothing is taken from where an earlier
# verifier kept its clone of the commit, changed there as someone who can write there would.
planted=$top/build/verify/$head/src
rm -rf "$planted" && git clone -q "$top" "$planted" && git -C "$planted" checkout -q $head
sed -i 's/Installation aborted/Installation stopped/' "$planted/core/install.cpp"
{
  echo "unsigned|rebuild|the program and the sample package, signatures removed, byte for byte what commit $head builds|0|true"
  for f in TavrinSetup.exe Readme.txt Example/TavrinTest.nsi Include/Tavrin.nsh Plugin/Tavrin.dll; do
    echo "unsigned|rebuild|$f differs from what commit .* builds (bytes 201 to 201)|1|printf '\\xcc' | dd of=t/Tavrin-$version/$f bs=1 seek=200 conv=notrunc 2>/dev/null; seal"
  done
  echo "signed|signature|TavrinSetup.exe: signed by .*, but no author's fingerprint is known here: give the author's with --signer|2|true"
  echo "given|package|name the author's published package .* with --package DIR|3|true"
} | rows --commit $head
rm -rf "$top/build/verify/$head"
# What takes no rebuild, within a minute and 512 MB: no tag and no --commit; a package other than
# the one given; files that are no files, or larger than a release's; zips that would take more.
limit="prlimit --as=$((512 << 20)) timeout 60" rows --ca ca.pem --signer $author --package changed-package <<ROWS
signed|record|no tag names version $version (v$version or $version): name the commit you expect with --commit|2|true
given|package|Include/Tavrin.nsh differs from .*changed-package|3|true
signed|layout|Tavrin-$version/Readme.txt is compressed (method 8)|6|tamper zip bomb t
signed|layout|Tavrin-$version/Readme.txt says it is 1073741824 bytes, stored in 1073741824|6|tamper zip lying t
signed|layout|its central directory lists [0-9]* entries in [0-9]* bytes, where the release has 9|6|tamper zip many t
signed|layout|Tavrin-$version.zip is a symbolic link, not a file|6|ln -sf /dev/zero t/Tavrin-$version.zip
signed|sums|SHA256SUMS is a symbolic link, not a file|3|ln -sf /dev/zero t/SHA256SUMS
signed|record|Tavrin-$version.buildinfo is a FIFO, not a file|4|rm t/Tavrin-$version.buildinfo; mkfifo t/Tavrin-$version.buildinfo
signed|sums|SHA256SUMS.p7s is a FIFO, not a file|3|rm t/SHA256SUMS.p7s; mkfifo t/SHA256SUMS.p7s
signed|layout|Tavrin-$version.zip is more than 64 MiB|6|truncate -s 65M t/Tavrin-$version.zip
signed|record|Tavrin-$version.buildinfo is more than 1 MiB|4|truncate -s 2M t/Tavrin-$version.buildinfo
ROWS

# This verifier in a checkout of a later commit rebuilds the release's own, its author pinned by
# the repository's list (and so its sums' signature required); a tag there that names another
# commit, or the recorded one where --commit names another, is refused, by the verifier and by the
# release, a bare VERSION tag as well as vVERSION.
git clone -q "$top" later
(cd later && sed -i 's/Installation aborted/Installation stopped/' core/install.cpp \
  && git -c user.name=t -c user.email=t@t commit -qam later)
cp "$top"/tools/*.sh "$top"/tools/*.py later/tools/
echo "$author Tavrin test signer" >>later/tools/release-signers
verify=later/tools/verify-release.sh
verify=$verify rows --ca ca.pem --commit $head <<ROWS
signed|rebuild|byte for byte what commit $head builds|0|true
signed|sums|SHA256SUMS holds, but the author has not signed it (no SHA256SUMS.p7s beside it)|1|rm t/SHA256SUMS.p7s
ROWS
git -C later tag v$version
echo "signed|record|tag v$version is commit .*, not the recorded $head|2|true" | verify=$verify rows --ca ca.pem
git -C later tag -f v$version $head >/dev/null
echo "signed|record|tag v$version is the recorded commit $head, not .* as --commit says|2|true" \
  | verify=$verify rows --ca ca.pem --commit "$(git -C later rev-parse HEAD)"
(cd later && echo >>README.md && git -c user.name=t -c user.email=t@t commit -qam again)
for tag in v$version $version; do
  git -C later tag -d v$version >/dev/null && git -C later tag $tag HEAD~1
  later/tools/release.sh $version >release.log 2>&1 && { echo "released, though tag $tag is another commit"; exit 1; }
  grep -q "tag $tag is commit .*, not this one" release.log || { cat release.log; exit 1; }
done

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
