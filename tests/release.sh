#!/usr/bin/env bash
# The release as a user gets it, signed by a throwaway CA's code-signing certificate: from a plain
# PEM key twice, the same bytes; from a key on a SoftHSM token, a passphrase-protected PKCS#12 file
# and an encrypted PEM key, each timestamped by a local RFC 3161 service behind one that refuses.
# Each is checked as a user would, and installs. Then bad signers, each with its message and no zip.
# Usage: release.sh STATE_DIR PRODUCT CLIENT SCRATCH_DIR
set -euo pipefail
state=$1 product=$2 client=$3 scratch=$4
top=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$scratch"
mkdir -p "$scratch/tokens" "$scratch/shims"
cd "$scratch"
export SOURCE_DATE_EPOCH=1700000000
pin=pin-7Qx2 passphrase=pass-9Rk4 version=0.0-check zip=$top/build/release/Tavrin-0.0-check.zip
cert() { # NAME SUBJECT EXTENDED_USAGE: a certificate of the test CA, and its key
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" -CA ca.pem \
    -CAkey ca.key -addext basicConstraints=CA:FALSE -addext "extendedKeyUsage=$3" -addext keyUsage=digitalSignature 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tavrin test CA" 2>/dev/null
cert signer "Tavrin test signer" codeSigning
cert tsa "Tavrin test TSA" critical,timeStamping
cert web "Tavrin test web server" serverAuth
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

# A release checked as a user would: the sums, then the signature and, asked for, its timestamp.
# The zip's every time and an untimestamped signature's time are SOURCE_DATE_EPOCH; without its
# signature the program is the tested product.
check() { # STAMPED
  rm -rf Tavrin-$version unsigned.exe
  cp "$zip" "${zip%.zip}.buildinfo" "$top/build/release/SHA256SUMS" .
  python3 -m zipfile -e Tavrin-$version.zip .
  sha256sum --quiet -c SHA256SUMS
  python3 -c 'import sys, time, zipfile
dates = {i.date_time for i in zipfile.ZipFile(sys.argv[1]).infolist()}
assert dates == {time.gmtime(int(sys.argv[2]))[:6]}, dates' Tavrin-$version.zip $SOURCE_DATE_EPOCH
  osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in Tavrin-$version/TavrinSetup.exe >verify.log
  want="Signing time: $(date -u -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y') GMT"
  [ "$1" != stamped ] || want='Timestamp Server Signature verification: ok'
  grep -q "$want" verify.log
  osslsigncode remove-signature -in Tavrin-$version/TavrinSetup.exe -out unsigned.exe >/dev/null
  cmp unsigned.exe "$product"
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
"$top/tools/verify-release.sh" "$zip" --ca ca.pem # rebuilds the recorded commit: the tree's own when committed
TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped
TAVRIN_SIGN_CERT=signer.pem TAVRIN_SIGN_KEY=encrypted.key TAVRIN_SIGN_PASS_FILE=pass.txt "$top/tools/release.sh" $version >/dev/null 2>&1
check stamped

# A release whose program has one byte changed: beside the sums it came with, and then with the
# sums and the build record remade to match it, when only the rebuild can tell.
env -u TAVRIN_SIGN_TIMESTAMP_URL "$top/tools/release.sh" $version >/dev/null 2>&1
python3 -m zipfile -e "$zip" changed
program=changed/Tavrin-$version/TavrinSetup.exe
printf '\xcc' | dd of=$program bs=1 seek=1024 conv=notrunc 2>/dev/null
python3 "$top/tools/releasezip.py" changed/Tavrin-$version.zip Tavrin-$version $program changed/Tavrin-$version \
  "$top/core/package.h" $SOURCE_DATE_EPOCH
cp "$top/build/release/SHA256SUMS" "$top/build/release/Tavrin-$version.buildinfo" changed/
"$top/tools/verify-release.sh" changed/Tavrin-$version.zip >verdicts.txt && exit 1
grep -q '^FAIL sums' verdicts.txt
sed -i "s/^\(program-sha256:\).*/\1 $(sha256sum <$program | cut -c1-64)/
  s/^\(zip-sha256:\).*/\1 $(sha256sum <changed/Tavrin-$version.zip | cut -c1-64)/" changed/Tavrin-$version.buildinfo
(cd changed && sha256sum Tavrin-$version.zip Tavrin-$version/TavrinSetup.exe Tavrin-$version.buildinfo >SHA256SUMS)
"$top/tools/verify-release.sh" changed/Tavrin-$version.zip >verdicts.txt && exit 1
[ "$(grep -c '^FAIL' verdicts.txt)" = 1 ] && grep -q '^FAIL rebuild: the program differs .*bytes 1025 to 1025' verdicts.txt

while IFS='|' read -r message settings; do
  rm -f "$zip"
  if env $settings "$top/tools/release.sh" $version </dev/null >/dev/null 2>bad.log; then
    echo "taken: $settings"; exit 1
  fi
  grep -q "$message" bad.log || { echo "$settings:"; cat bad.log; exit 1; }
  [ ! -e "$zip" ]
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
no time-stamp service answered|TAVRIN_SIGN_KEY=signer.p12 TAVRIN_SIGN_PASS=$passphrase TAVRIN_SIGN_TIMESTAMP_URL=http://127.0.0.1:1/
ROWS
grep -e "$pin" -e "$passphrase" argv.log && { echo "a PIN or passphrase on a command line"; exit 1; }
cd / && rm -rf "$scratch"
