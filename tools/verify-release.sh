#!/usr/bin/env bash
# Checks a release against the source it was built from, every file of it: the sums in SHA256SUMS
# and the record in Tavrin-VERSION.buildinfo, both looked for beside the zip; the zip's layout;
# in a signed release, the signature and timestamp of every program and library in it; then the
# program and the sample package, signatures removed, against what this repository builds at the
# recorded commit, in a temporary clone. A package given from outside cannot be rebuilt here: it is
# compared with the one --package names (the author's published package, or a build of it).
# What a commit builds is kept in build/verify/ for later checks of it with the same toolchain.
# One verdict a check, each failure naming its files; the exit code is 0 only when every check
# holds, and a check that could not be made fails.
# Usage: tools/verify-release.sh ZIP [--ca FILE] [--package DIR]
#   FILE: the root of a private CA, for the signatures
set -uo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
top=$(pwd)
given() { case $1 in /* | '') printf '%s' "$1" ;; *) printf '%s/%s' "$caller" "$1" ;; esac; }
stop() { echo "verify-release: $*" >&2; exit 2; }
usage="usage: tools/verify-release.sh ZIP [--ca FILE] [--package DIR]"
failed=0 made=()
verdict() { # ok|FAIL WHAT [DETAIL]
  printf '%-4s %s%s\n' "$1" "$2" "${3:+: $3}"
  [ "$1" = ok ] || failed=1
  made+=("$2")
}

zip= ca=() package_dir=
while [ $# -gt 0 ]; do
  case $1 in
    --ca) [ $# -ge 2 ] || stop "--ca needs a file"; ca=(-CAfile "$(given "$2")" -TSA-CAfile "$(given "$2")"); shift 2 ;;
    --package) [ $# -ge 2 ] || stop "--package needs a folder"; package_dir=$(given "$2"); shift 2
      [ -d "$package_dir" ] || stop "no package folder $package_dir" ;;
    *) [ -z "$zip" ] || stop "$usage"; zip=$(given "$1"); shift ;;
  esac
done
[ -n "$zip" ] || stop "$usage"
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
recorded_file() { awk -v k="$1:" -v f="$2" '$1 == k && $3 == f { print $2; exit }' "$buildinfo"; }
is_pe() { python3 tools/releasezip.py --is-pe "$1"; }
is_signed() { python3 tools/releasezip.py --is-signed "$1"; }
mapfile -t files < <(python3 tools/releasezip.py --files core/package.h)
files=(TavrinSetup.exe "${files[@]}")
built_package=
[ "$(recorded package)" = given ] || built_package=1

# The layout: one top folder, the program beside the package's files as the program reads them.
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

# The sums: the zip, every file in it and the record, as listed; the record, as it says.
problems=
pairs=("$zip:$name.zip" "$buildinfo:$name.buildinfo")
for f in "${files[@]}"; do pairs+=("$work/$name/$f:$name/$f"); done
for pair in "${pairs[@]}"; do
  file=${pair%%:*} entry=${pair#*:}
  [ -f "$file" ] && [ "$(sum "$file")" = "$(listed "$entry")" ] || problems+=" $entry"
done
[ -z "$problems" ] && verdict ok sums "SHA256SUMS holds for the zip, its ${#files[@]} files and the build record" \
  || verdict FAIL sums "SHA256SUMS does not hold for$problems"
problems=
[ "$(sum "$zip")" = "$(recorded zip-sha256)" ] || problems+=" the zip"
for f in "${files[@]}"; do
  [ -f "$work/$name/$f" ] && [ "$(sum "$work/$name/$f")" = "$(recorded_file file-sha256 "$name/$f")" ] || problems+=" $f"
done
[ -z "$problems" ] && verdict ok record "$name.buildinfo names this zip and each of its files" \
  || verdict FAIL record "$name.buildinfo does not match$problems"

# The signatures. A signed release signs every program and library in it with one signer; each
# verifies, is the program's signer's, and is timestamped where the program's is. What a signed
# file was before it was signed is the signature removed: that is what the rebuild compares.
# the signer's subject, issuer and serial: the first three lines after the first "Signer #0:"
identity() { awk '/Signer #0:/ && !seen++ { for (i = 0; i < 3; i++) { getline; sub(/^[ \t]+/, ""); printf "%s; ", $0 } }' "$1"; }
program=$work/$name/TavrinSetup.exe
if [ ! -f "$program" ]; then
  verdict FAIL signature "no program in the zip"
elif ! is_signed "$program"; then
  verdict ok signature "none: the release is not signed"
else
  problems= signer= stamped=
  for f in "${files[@]}"; do
    file=$work/$name/$f
    [ -f "$file" ] && is_pe "$file" || continue
    if ! is_signed "$file"; then
      problems+=" $f: not signed;"
      continue
    fi
    if ! osslsigncode verify "${ca[@]}" -in "$file" >"$work/verify.log" 2>&1; then
      problems+=" $f: its signature does not verify ($(grep -m1 -iE 'fail|error|mismatch' "$work/verify.log"));"
      continue
    fi
    who=$(identity "$work/verify.log") when=$(sed -n 's/.*Timestamp time: //p' "$work/verify.log" | head -n 1)
    if [ "$f" = TavrinSetup.exe ]; then
      signer=$who stamped=$when
    elif [ "$who" != "$signer" ]; then
      problems+=" $f: signed by someone else ($who), not the program's signer;"
    elif [ -n "$stamped" ] && [ -z "$when" ]; then
      problems+=" $f: not timestamped, though the program is;"
    fi
  done
  if [ -n "$problems" ]; then
    problems=${problems# }
    verdict FAIL signature "${problems%;}"
  else
    when=${stamped:+timestamped $stamped}
    signer=${signer%%;*}
    verdict ok signature "every program and library, by ${signer#Subject: }, ${when:-not timestamped: valid only while the certificate is}"
  fi
fi
# unsigned FILE: the path of that file of the zip, which is there, as it was before it was signed;
# nothing when its signature cannot be removed
unsigned() {
  local file=$work/$name/$1 out=$work/unsigned/$1
  is_signed "$file" || { printf '%s' "$file"; return 0; }
  mkdir -p "$(dirname "$out")"
  osslsigncode remove-signature -in "$file" -out "$out" >/dev/null 2>&1 && printf '%s' "$out"
}
# compare WHAT FILE REFERENCE: the zip's FILE, unsigned, against REFERENCE; a problem, or nothing
compare() {
  local copy range
  [ -f "$work/$name/$2" ] || { printf ' %s: not in the zip;' "$2"; return; }
  copy=$(unsigned "$2") || { printf ' %s: its signature cannot be removed, so it cannot be compared;' "$2"; return; }
  [ -f "$3" ] || { printf ' %s: %s has none;' "$2" "$1"; return; }
  cmp -s "$copy" "$3" && return
  range=$(cmp -l "$copy" "$3" 2>/dev/null | awk 'NR == 1 { first = $1 } { last = $1 } END { if (NR) printf "bytes %d to %d", first, last }')
  printf ' %s differs from %s (%s);' "$2" "$1" "${range:-the sizes differ}"
}

# The rebuild: the recorded commit, built here as the release built it; kept for later checks of
# the same commit with the same toolchain.
commit=$(recorded commit)
if ! git -C "$top" cat-file -e "$commit^{commit}" 2>/dev/null; then
  verdict FAIL rebuild "commit ${commit:-(none recorded)} is not in this repository: fetch it, or verify in a clone that has it"
else
  echo "against commit $commit ($(recorded sources))"
  differs=$(diff <(sed -n '/^g++-mingw/,/^python3:/p' "$buildinfo") <(toolchain_versions) | sed -n 's/^> /  here:     /p; s/^< /  recorded: /p')
  [ -z "$differs" ] || printf 'note: this toolchain differs from the recorded one, which alone can make the rebuild differ:\n%s\n' "$differs"
  rebuilt=$top/build/verify/$commit-$(toolchain_versions | sha256sum | cut -c1-12)
  if [ ! -d "$rebuilt" ]; then
    git clone -q --no-checkout "$top" "$work/src" && git -C "$work/src" checkout -q "$commit" \
      && cmake -S "$work/src" -B "$work/build" --toolchain "$work/src/cmake/i686-w64-mingw32.cmake" \
           -DCMAKE_BUILD_TYPE=MinSizeRel >"$work/build.log" 2>&1 \
      && cmake --build "$work/build" --target TavrinSetup TavrinPlugin >>"$work/build.log" 2>&1 \
      && mkdir -p "$top/build/verify" && cp -r "$work/build/sample-package" "$work/rebuilt" \
      && cp "$work/build/TavrinSetup.exe" "$work/rebuilt/" && mv "$work/rebuilt" "$rebuilt" \
      || tail -n 20 "$work/build.log"
  fi
  if [ ! -d "$rebuilt" ]; then
    verdict FAIL rebuild "commit $commit does not build here"
  else
    problems=
    for f in "${files[@]}"; do
      [ "$f" = TavrinSetup.exe ] || [ -n "$built_package" ] || continue
      problems+=$(compare "what commit $commit builds" "$f" "$rebuilt/$f")
    done
    what="the program${built_package:+ and the sample package}"
    [ -z "$problems" ] && verdict ok rebuild "$what, signatures removed, byte for byte what commit $commit builds" \
      || verdict FAIL rebuild "${problems# }"
  fi
fi

# A package given from outside: against the one named, as shipped or with the release's signature removed.
if [ -z "$built_package" ]; then
  if [ -z "$package_dir" ]; then
    verdict FAIL package "given from outside, so not rebuilt here: name the author's published package (or a build of it) with --package DIR"
  else
    problems=
    for f in "${files[@]:1}"; do
      cmp -s "$work/$name/$f" "$package_dir/$f" 2>/dev/null || problems+=$(compare "$package_dir" "$f" "$package_dir/$f")
    done
    [ -z "$problems" ] && verdict ok package "byte for byte the package in $package_dir, signatures removed" \
      || verdict FAIL package "${problems# }"
  fi
fi

for check in layout sums record signature rebuild $([ -n "$built_package" ] || echo package); do
  [[ " ${made[*]} " == *" $check "* ]] || verdict FAIL "$check" "could not be made"
done
exit $failed
