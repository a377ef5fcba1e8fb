#!/usr/bin/env bash
# Measures the program against its alternative, an installer made with NSIS for the same job
# (bench/peer.nsi), and against the floor, an empty dialog from a template: file size, start-up
# to the first visible window and peak resident memory, under 64-bit Wine. Prints one table:
# medians of RUNS runs (default 15) with min and max, and the ratio ours / peer.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
runs=${1:-15}
. tools/deps.sh
. tools/wine.sh
ensure_packages nsis
for preset in x86 x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)" >/dev/null
done

out=$top/build/bench
rm -rf "$out"
mkdir -p "$out"
for target in x86-ansi amd64-unicode; do
  makensis -V1 -DTARGET=$target -DOUTFILE="$out/peer-$target.exe" bench/peer.nsi
done
x86_64-w64-mingw32-windres bench/empty.rc -o "$out/empty.res.o"
x86_64-w64-mingw32-g++-posix -Os -fno-exceptions -fno-rtti bench/empty.cpp "$out/empty.res.o" -nostdlib \
  -Wl,--entry=WinMainEntry -mwindows -lkernel32 -luser32 -o "$out/empty.exe"
x86_64-w64-mingw32-g++-posix -O2 bench/startup.cpp -lpsapi -static -o "$out/startup.exe"

# Each program in a folder of its own, with an NSIS folder named by the registry to open on.
mkdir -p "$out/ours" "$out/peer" "$out/floor" "$out/NSIS"
cp build/x64/TavrinSetup.exe "$out/ours/"
cp "$out/peer-amd64-unicode.exe" "$out/peer/"
cp "$out/empty.exe" "$out/floor/"
: >"$out/NSIS/makensis.exe"
state=$out/wine
wine_with_nsis "$state" "$out/NSIS"

tests/wine/run.sh "$state" "$out/startup.exe" "$runs" \
  "ours=$(winpath "$out/ours/TavrinSetup.exe")" \
  "peer=$(winpath "$out/peer/peer-amd64-unicode.exe")" \
  "floor=$(winpath "$out/floor/empty.exe")" | tr -d '\r' >"$out/figures.txt"

ours_size=$(stat -c %s build/x86/TavrinSetup.exe)
peer_size=$(stat -c %s "$out/peer-x86-ansi.exe")
awk -v runs="$runs" -v ours_size="$ours_size" -v peer_size="$peer_size" '
  { med[$1, $2] = $3; lo[$1, $2] = $4; hi[$1, $2] = $5 }
  END {
    printf "%-30s %14s %14s %14s %12s\n", "measure (x86 size; x64 under Wine)", "ours", "peer", "empty dialog", "ours / peer"
    printf "%-30s %14d %14d %14s %12.3f\n", "file size, bytes (x86)", ours_size, peer_size, "-", ours_size / peer_size
    split("startup_ms peak_kib", what, " ")
    label["startup_ms"] = "start-up to window, ms"; label["peak_kib"] = "peak resident memory, KiB"
    for (i = 1; i <= 2; i++) {
      w = what[i]
      printf "%-30s %14.1f %14.1f %14.1f %12.3f\n", label[w] " (median)", med["ours", w], med["peer", w], med["floor", w], med["ours", w] / med["peer", w]
      printf "%-30s %14s %14s %14s\n", "  min - max", sprintf("%.1f-%.1f", lo["ours", w], hi["ours", w]),
        sprintf("%.1f-%.1f", lo["peer", w], hi["peer", w]), sprintf("%.1f-%.1f", lo["floor", w], hi["floor", w])
    }
    printf "start-up, ours / empty-dialog floor: %.3f (median of %d alternating runs each)\n", med["ours", "startup_ms"] / med["floor", "startup_ms"], runs
  }' "$out/figures.txt"
