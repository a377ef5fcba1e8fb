#!/usr/bin/env bash
# The release as a user gets it, signed by a throwaway CA's code-signing certificate: from a plain
# PEM key twice, the same bytes; from a key on a SoftHSM token, a passphrase-protected PKCS#12 file
# and an encrypted PEM key, each timestamped by a local RFC 3161 service behind one that refuses.
# Each is checked as a user would, and installs. Then bad signers, each with its message and no zip.
# Usage: release.sh STATE_DIR PRODUCT CLIENT SCRATCH_DIR
set -euo pipefail
state=$1 product=$2 client=$3 scratch=$4
plugin=$(dirname "$product")/sample-package/Plugin/Tavrin.dll
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
cert other "Tavrin other signer" codeSigning
cert tsa "Tavrin test TSA" critical,timeStamping
cert web "Tavrin test web server" serverAuth
cert encipher "Tavrin test encipherment" codeSigning keyEncipherment
# a code-signing certificate of no CA the user trusts
openssl req -x509 -newkey rsa:2048 -nodes -keyout outsider.key -out outsider.pem -days 2 -subj "/CN=Tavrin outsider" \
  -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "$passphrase" >pass.txt && echo "$pin" >pin.txt
openssl pkey -in signer.key -aes256 -passout file:pass.txt -out encrypted.key
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:pass.txt -out signer.p12
openssl pkcs12 -export -inkey web.key -in web.pem -passout file:pass.txt -out web.p12
export SOFTHSM2_CONF=$scratch/softhsm2.conf
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$scratch" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label tavrin --pin "$pin" --so-pin 5678 >/dev/null
softhsm2-util --import signer.key --token tavrin --label signer --id 01 --pin "$pin" >/dev/null
module=$(find /usr/lib -name libsofthsm2.so | head -n 1)

# The time-stamp service: openssl ts answering each query posted to it.
printf '[tsa]\ndefault_tsa = t\n[t]\nserial = serial\nsigner_cert = tsa.pem\nsigner_key = tsa.key
signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n' >tsa.cnf
python3 - tsa.cnf >tsa.port <<'TSA' &
import http.server, subprocess, sys
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile",
                                         "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True).stdout)
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
print(server.server_port, flush=True)
server.serve_forever()
TSA
trap "kill $!" EXIT
for _ in $(seq 50); do [ -s tsa.port ] && break; sleep 0.1; done
stamps="http://127.0.0.1:1/ http://127.0.0.1:$(cat tsa.port)/" # the first refuses

# Every command line the release gives openssl and osslsigncode, to look for a PIN or passphrase.
for tool in openssl osslsigncode; do
  printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>%s/argv.log\nexec %s "$@"\n' "$scratch" "$(command -v $tool)" >shims/$tool
  chmod +x shims/$tool
done
export PATH=$scratch/shims:$PATH

# A release checked as a user would: the sums, then the signatures and, asked for, their
# timestamps. The zip's every time and an untimestamped signature's time are SOURCE_DATE_EPOCH;
# without its signature the program is the tested product, and the plug-in the one built.
check() { # STAMPED
  rm -rf Tavrin-$version unsigned
  cp "$zip" "${zip%.zip}.buildinfo" "$top/build/release/SHA256SUMS" .
  python3 -m zipfile -e Tavrin-$version.zip .
  sha256sum --quiet -c SHA256SUMS
  python3 -c 'import sys, time, zipfile
dates = {i.date_time for i in zipfile.ZipFile(sys.argv[1]).infolist()}
assert dates == {time.gmtime(int(sys.argv[2]))[:6]}, dates' Tavrin-$version.zip $SOURCE_DATE_EPOCH
  want="Signing time: $(date -u -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y') GMT"
  [ "$1" != stamped ] || want='Timestamp Server Signature verification: ok'
  for f in TavrinSetup.exe:"$product" Plugin/Tavrin.dll:"$plugin"; do
    osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in Tavrin-$version/${f%%:*} >verify.log
    grep -q "$want" verify.log
    rm -f unsigned && osslsigncode remove-signature -in Tavrin-$version/${f%%:*} -out unsigned >/dev/null
    cmp unsigned "${f#*:}"
  done
}

# rezip: the zip in t/ made anew from the tree beside it, whatever that holds
rezip() {
  (cd t && rm Tavrin-$version.zip && python3 -c 'import os, sys, zipfile; z = zipfile.ZipFile(sys.argv[1], "w")
[z.write(os.path.join(d, x)) for d, ds, fs in os.walk(sys.argv[2]) for x in [""] + fs]' Tavrin-$version.zip Tavrin-$version)
}
# A download changed after the release (t/), as anyone who can change the download page can: zipped
# anew, its SHA256SUMS and build record rewritten to match. verify-release.sh must refuse it, one
# verdict a check, with COUNT FAILs among them one for CHECK that names what it found.
tampered() { # CHECK FINDING COUNT [VERIFY OPTIONS...]
  rezip
  (cd t
   for f in $(find Tavrin-$version -type f | sort); do
     sed -i "s|^file-sha256: [0-9a-f]* $f\$|file-sha256: $(sha256sum <$f | cut -c1-64) $f|" Tavrin-$version.buildinfo
   done
   sed -i "s/^zip-sha256: .*/zip-sha256: $(sha256sum <Tavrin-$version.zip | cut -c1-64)/" Tavrin-$version.buildinfo
   sha256sum Tavrin-$version.zip $(find Tavrin-$version -type f | sort) Tavrin-$version.buildinfo >SHA256SUMS)
  verdicts t/Tavrin-$version.zip "${@:4}" && { echo "taken: $1, $2"; exit 1; }
  [ "$(grep -c '^FAIL' verdicts.txt)" = "$3" ] && grep -q "^FAIL $1: .*$2" verdicts.txt \
    || { echo "expected FAIL $1: $2"; cat verdicts.txt; exit 1; }
}
# verdicts ZIP [OPTIONS]: verify-release.sh's answer, with every check's verdict in verdicts.txt
verdicts() {
  local status=0
  "$top/tools/verify-release.sh" "$@" >verdicts.txt || status=$?
  for c in layout sums record signature rebuild; do
    grep -q "^\(ok  \|FAIL\) $c:" verdicts.txt || { echo "no verdict on $c"; cat verdicts.txt; exit 1; }
  done
  return $status
}
# unpack: the last release made, with what lies beside it, into t/
unpack() {
  rm -rf t && mkdir t
  cp "$zip" "${zip%.zip}.buildinfo" "$top/build/release/SHA256SUMS" t/
  (cd t && python3 -m zipfile -e Tavrin-$version.zip .)
}
osslsign() { # FILE CERT: signed anew, by CERT's key and timestamped
  rm -f resign.exe && osslsigncode remove-signature -in "$1" -out resign.exe >/dev/null 2>&1 || cp "$1" resign.exe
  osslsigncode sign -certs "$2.pem" -key "$2.key" -h sha256 -ts "http://127.0.0.1:$(cat tsa.port)/" \
    -in resign.exe -out "$1.new" >/dev/null && mv "$1.new" "$1"
}

TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version
mv "$zip" first.zip
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version >/dev/null 2>&1
cmp first.zip "$zip" # the same bytes
check plain
"$top/tests/makensis.sh" "$state" Tavrin-$version/TavrinSetup.exe Tavrin-$version "$client" "$scratch/install"

export TAVRIN_SIGN_TIMESTAMP_URL=$stamps
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY="pkcs11:token=tavrin;object=signer" TAVRIN_SIGN_PKCS11_MODULE=$module \
  TAVRIN_SIGN_PASS_FILE=pin.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
verdicts "$zip" --ca ca.pem # rebuilds the recorded commit: the tree's own when committed
grep -q '^ok   signature: every program and library, by /CN=Tavrin test signer, timestamped [^G]* GMT$' verdicts.txt
unpack
osslsign t/Tavrin-$version/Plugin/Tavrin.dll other
tampered signature "Plugin/Tavrin.dll: signed by someone else" 1 --ca ca.pem
unpack
cp "$plugin" t/Tavrin-$version/Plugin/Tavrin.dll
tampered signature "Plugin/Tavrin.dll: not signed" 1 --ca ca.pem
unpack
osslsign t/Tavrin-$version/TavrinSetup.exe outsider
osslsign t/Tavrin-$version/Plugin/Tavrin.dll outsider
tampered signature "TavrinSetup.exe: its signature does not verify" 1 --ca ca.pem
# One whose signature cannot be taken off cannot be compared: that is a verdict too.
unpack
truncate -s -100 t/Tavrin-$version/TavrinSetup.exe
tampered rebuild "TavrinSetup.exe: its signature cannot be removed" 2 --ca ca.pem
TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=encrypted.key TAVRIN_SIGN_PASS_FILE=pass.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped

# An unsigned release with one byte of a file changed: beside the sums it came with, and then with
# the sums and the build record remade to match it, when only the rebuild can tell.
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cp "$zip" first.zip
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
cmp first.zip "$zip" # unsigned, the same bytes too
for f in TavrinSetup.exe Readme.txt Example/TavrinTest.nsi Include/Tavrin.nsh Plugin/Tavrin.dll; do
  unpack
  printf '\xcc' | dd of=t/Tavrin-$version/$f bs=1 seek=200 conv=notrunc 2>/dev/null
  if [ $f = TavrinSetup.exe ]; then
    rezip
    verdicts t/Tavrin-$version.zip && exit 1
    grep -q '^FAIL sums: .*TavrinSetup.exe' verdicts.txt
  fi
  tampered rebuild "$f differs from what commit .* builds (bytes 201 to 201)" 1
done
# The layout: a file added, a file taken out.
unpack
echo MZ >t/Tavrin-$version/Plugin/Other.dll
tampered layout "extra Tavrin-$version/Plugin/Other.dll" 1
unpack
rm t/Tavrin-$version/Readme.txt
tampered layout "missing Tavrin-$version/Readme.txt" 4
# The zip itself remade, the same files in it: only its sum in the record tells.
unpack
(cd t && python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); o = zipfile.ZipFile("new.zip", "w", zipfile.ZIP_STORED)
[o.writestr(i, z.read(i)) for i in z.infolist()]' Tavrin-$version.zip && mv new.zip Tavrin-$version.zip \
  && sed -i "s/^\([0-9a-f]*\)  Tavrin-$version.zip/$(sha256sum <Tavrin-$version.zip | cut -c1-64)  Tavrin-$version.zip/" SHA256SUMS)
verdicts t/Tavrin-$version.zip && exit 1
[ "$(grep -c '^FAIL' verdicts.txt)" = 1 ] && grep -q '^FAIL record: .* the zip' verdicts.txt || { cat verdicts.txt; exit 1; }
# This verifier in a checkout of a later commit rebuilds the release's own.
git clone -q "$top" later
(cd later && sed -i 's/Installation aborted/Installation stopped/' core/install.cpp \
  && git -c user.name=t -c user.email=t@t commit -qam later)
cp "$top"/tools/*.sh "$top"/tools/*.py later/tools/
later/tools/verify-release.sh "$zip" >verdicts.txt || { cat verdicts.txt; exit 1; }

# A package from outside, its plug-in signed by its author already: the release leaves that as it
# is. It is checked against the package named, and refused without one or against another.
cp -r "$(dirname "$product")/sample-package" given
osslsign given/Plugin/Tavrin.dll signer
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=signer.key "$top/tools/release.sh" $version given >release.log 2>&1
grep -q 'Plugin/Tavrin.dll is signed already: left as it is' release.log
cmp given/Plugin/Tavrin.dll <(python3 -c 'import sys, zipfile; sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' \
  "$zip" Tavrin-$version/Plugin/Tavrin.dll)
verdicts "$zip" --ca ca.pem --package given || { cat verdicts.txt; exit 1; }
unpack
tampered package "name the author's published package .* with --package DIR" 1 --ca ca.pem
cp -r given changed-package
echo changed >>changed-package/Include/Tavrin.nsh
unpack
tampered package "Include/Tavrin.nsh differs from .*changed-package" 1 --ca ca.pem --package changed-package

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
