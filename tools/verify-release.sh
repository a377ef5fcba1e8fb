#!/usr/bin/env bash
# Checks a release against the source it was built from: the sums in SHA256SUMS and the record in
# Tavrin-VERSION.buildinfo, both looked for beside the zip; the zip's layout; the signature and its
# timestamp, when the program is signed; and then the program itself, its signature removed,
# against the one this repository builds at the recorded commit, in a temporary clone.
# One verdict a check; the exit code is 0 only when every check holds.
# Usage: tools/verify-release.sh ZIP [--ca FILE]    FILE: the root of a private CA, for the signature
set -uo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
top=$(pwd)
given() { case $1 in /* | '') printf '%s' "$1" ;; *) printf '%s/%s' "$caller" "$1" ;; esac; }
stop() { echo "verify-release: $*" >&2; exit 2; }
failed=0
verdict() { # ok|FAIL WHAT [DETAIL]
  printf '%-4s %s%s\n' "$1" "$2" "${3:+: $3}"
  [ "$1" = ok ] || failed=1
}

zip= ca=()
while [ $# -gt 0 ]; do
  case $1 in
    --ca) [ $# -ge 2 ] || stop "--ca needs a file"; ca=(-CAfile "$(given "$2")" -TSA-CAfile "$(given "$2")"); shift 2 ;;
    *) [ -z "$zip" ] || stop "usage: tools/verify-release.sh ZIP [--ca FILE]"; zip=$(given "$1"); shift ;;
  esac
done
[ -n "$zip" ] || stop "usage: tools/verify-release.sh ZIP [--ca FILE]"
[ -f "$zip" ] && [ -r "$zip" ] || stop "cannot read $zip"
name=$(basename "$zip" .zip) dir=$(dirname "$zip")
[[ $name =~ ^Tavrin-(.+)$ ]] || stop "$zip is not named as a release (Tavrin-VERSION.zip)"
sums=$dir/SHA256SUMS buildinfo=$dir/$name.buildinfo
[ -r "$sums" ] || stop "no SHA256SUMS beside $zip"
[ -r "$buildinfo" ] || stop "no $name.buildinfo beside $zip"
. tools/deps.sh
# what the rebuild needs (the project's configuration takes in GoogleTest), and the signature check
apt_install cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest python3 osslsigncode git >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sum() { sha256sum <"$1" | cut -d' ' -f1; }
listed() { awk -v f="$1" '$2 == f || $2 == "*" f { print $1 }' "$sums"; }
recorded() { sed -n "s/^$1: //p" "$buildinfo" | head -n 1; }

# The layout: one top folder, the program beside the package's files as the program reads them.
program=$work/$name/TavrinSetup.exe
expected=$(python3 -c 'import sys; sys.path.insert(0, "tools"); import releasezip
print("\n".join(releasezip.layout(sys.argv[1], releasezip.package_files("core/package.h"))))' "$name")
if ! entries=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip" 2>&1); then
  verdict FAIL layout "not a zip: $entries"
elif [ "$entries" != "$expected" ]; then
  verdict FAIL layout "$(diff <(echo "$expected") <(echo "$entries") | sed -n 's/^> \(.*\)/extra \1; /p; s/^< \(.*\)/missing \1; /p' | tr -d '\n')"
else
  verdict ok layout "$name/ with TavrinSetup.exe, $(echo "$entries" | grep -vc '/$') files"
fi
python3 -m zipfile -e "$zip" "$work" 2>/dev/null

# The sums: the zip, the program in it and the record, as listed; the record, as it says.
problems=
for pair in "$zip:$name.zip" "$program:$name/TavrinSetup.exe" "$buildinfo:$name.buildinfo"; do
  file=${pair%%:*} entry=${pair#*:}
  [ -f "$file" ] && [ "$(sum "$file")" = "$(listed "$entry")" ] || problems+=" $entry"
done
[ -z "$problems" ] && verdict ok sums "SHA256SUMS holds for the zip, its program and the build record" \
  || verdict FAIL sums "SHA256SUMS does not hold for$problems"
problems=
[ "$(sum "$zip")" = "$(recorded zip-sha256)" ] || problems+=" the zip"
[ -f "$program" ] && [ "$(sum "$program")" = "$(recorded program-sha256)" ] || problems+=" the program"
[ -z "$problems" ] && verdict ok record "$name.buildinfo names this zip and its program" \
  || verdict FAIL record "$name.buildinfo does not match$problems"

# The signature, when there is one; its removal leaves the program as built.
unsigned=$work/unsigned.exe
if [ ! -f "$program" ]; then
  verdict FAIL signature "no program in the zip"
elif ! osslsigncode extract-signature -in "$program" -out "$work/signature" >/dev/null 2>&1; then
  cp "$program" "$unsigned"
  verdict ok signature "none: the program is not signed"
else
  if osslsigncode verify "${ca[@]}" -in "$program" >"$work/verify.log" 2>&1; then
    signer=$(sed -n '/Signer #0:/,/Subject:/s/.*Subject: //p' "$work/verify.log" | head -n 1)
    when=$(sed -n 's/.*Timestamp time: //p' "$work/verify.log" | head -n 1)
    [ -n "$when" ] && when="timestamped $when" || when="not timestamped: valid only while the certificate is"
    verdict ok signature "by $signer, $when"
  else
    verdict FAIL signature "$(grep -m1 -iE 'fail|error|mismatch' "$work/verify.log")"
  fi
  osslsigncode remove-signature -in "$program" -out "$unsigned" >/dev/null 2>&1
fi

# The rebuild: the recorded commit, built here as the release built it.
commit=$(recorded commit)
if ! git -C "$top" cat-file -e "$commit^{commit}" 2>/dev/null; then
  verdict FAIL rebuild "commit ${commit:-(none recorded)} is not in this repository: fetch it, or verify in a clone that has it"
else
  echo "rebuilding commit $commit ($(recorded sources))"
  differs=$(diff <(sed -n '/^g++-mingw/,/^python3:/p' "$buildinfo") <(toolchain_versions) | sed -n 's/^> /  here:     /p; s/^< /  recorded: /p')
  [ -z "$differs" ] || printf 'note: this toolchain differs from the recorded one, which alone can make the rebuild differ:\n%s\n' "$differs"
  git clone -q --no-checkout "$top" "$work/src" && git -C "$work/src" checkout -q "$commit" \
    && cmake -S "$work/src" -B "$work/build" --toolchain "$work/src/cmake/i686-w64-mingw32.cmake" \
         -DCMAKE_BUILD_TYPE=MinSizeRel >"$work/build.log" 2>&1 \
    && cmake --build "$work/build" --target TavrinSetup >>"$work/build.log" 2>&1 \
    || { tail -n 20 "$work/build.log"; verdict FAIL rebuild "commit $commit does not build here"; }
  rebuilt=$work/build/TavrinSetup.exe
  if [ ! -f "$rebuilt" ] || [ ! -f "$unsigned" ]; then
    :
  elif cmp -s "$unsigned" "$rebuilt"; then
    verdict ok rebuild "the program, unsigned, is byte for byte what commit $commit builds"
  else
    range=$(cmp -l "$unsigned" "$rebuilt" 2>/dev/null | awk 'NR == 1 { first = $1 } { last = $1 } END { if (NR) printf "bytes %d to %d", first, last }')
    verdict FAIL rebuild "the program differs from what commit $commit builds (${range:-the sizes differ}; unsigned $(sum "$unsigned"), rebuilt $(sum "$rebuilt"))"
  fi
fi
exit $failed
