#!/usr/bin/env bash
# Measures the program against its alternative, an installer made with NSIS for the same job
# (bench/peer.nsi), and against the floor, an empty dialog from a template: file size, start-up
# to the first visible window and peak resident memory. The x86 product runs beside the x86-ansi
# peer and an x86 floor under 32-bit Wine; the x86-64 build beside the amd64-unicode peer and an
# x86-64 floor under 64-bit Wine. Prints a table for each: medians of RUNS runs (default 15)
# with min and max, and the ratio ours / peer.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
runs=${1:-15}
. tools/deps.sh
. tools/wine.sh
ensure_packages
for preset in x86 x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)" >/dev/null
done

out=$top/build/bench
rm -rf "$out"
mkdir -p "$out/NSIS"
: >"$out/NSIS/makensis.exe"
# Each program in a folder of its own, with an NSIS folder named by the registry to open on.
for arch in x86 x64; do
  case $arch in
    x86) target=x86-ansi cross=i686-w64-mingw32 entry=_WinMainEntry ;;
    x64) target=amd64-unicode cross=x86_64-w64-mingw32 entry=WinMainEntry ;;
  esac
  mkdir -p "$out/$arch/ours" "$out/$arch/peer" "$out/$arch/floor"
  cp build/$arch/TavrinSetup.exe "$out/$arch/ours/"
  makensis -V1 -DTARGET=$target -DOUTFILE="$out/$arch/peer/peer.exe" bench/peer.nsi
  $cross-windres bench/empty.rc -o "$out/$arch/empty.res.o"
  $cross-g++-posix -Os -fno-exceptions -fno-rtti bench/empty.cpp "$out/$arch/empty.res.o" -nostdlib \
    -Wl,--entry=$entry -mwindows -lkernel32 -luser32 -o "$out/$arch/floor/empty.exe"
done
x86_64-w64-mingw32-g++-posix -O2 bench/startup.cpp -lpsapi -static -o "$out/startup.exe"

state=$out/wine
wine_with_nsis "$state" "$out/NSIS"
programs=()
for arch in x86 x64; do
  programs+=("ours-$arch=$(winpath "$out/$arch/ours/TavrinSetup.exe")"
             "peer-$arch=$(winpath "$out/$arch/peer/peer.exe")"
             "floor-$arch=$(winpath "$out/$arch/floor/empty.exe")")
done
tests/wine/run.sh "$state" "$out/startup.exe" "$runs" "${programs[@]}" | tr -d '\r' >"$out/figures.txt"

for arch in x86 x64; do
  case $arch in
    x86) title="x86: the product, under 32-bit Wine" ;;
    x64) title="x86-64 build, under 64-bit Wine" ;;
  esac
  awk -v arch=$arch -v title="$title" -v runs="$runs" \
      -v ours_size="$(stat -c %s "$out/$arch/ours/TavrinSetup.exe")" \
      -v peer_size="$(stat -c %s "$out/$arch/peer/peer.exe")" \
      -v floor_size="$(stat -c %s "$out/$arch/floor/empty.exe")" '
    { split($1, who, "-"); if (who[2] != arch) next
      med[who[1], $2] = $3; lo[who[1], $2] = $4; hi[who[1], $2] = $5 }
    END {
      printf "%-30s %14s %14s %14s %12s\n", title, "ours", "peer", "empty dialog", "ours / peer"
      printf "%-30s %14d %14d %14d %12.3f\n", "file size, bytes", ours_size, peer_size, floor_size, ours_size / peer_size
      split("startup_ms peak_kib", what, " ")
      label["startup_ms"] = "start-up to window, ms"; label["peak_kib"] = "peak resident memory, KiB"
      for (i = 1; i <= 2; i++) {
        w = what[i]
        printf "%-30s %14.1f %14.1f %14.1f %12.3f\n", label[w] " (median)", med["ours", w], med["peer", w], med["floor", w], med["ours", w] / med["peer", w]
        printf "%-30s %14s %14s %14s\n", "  min - max", sprintf("%.1f-%.1f", lo["ours", w], hi["ours", w]),
          sprintf("%.1f-%.1f", lo["peer", w], hi["peer", w]), sprintf("%.1f-%.1f", lo["floor", w], hi["floor", w])
      }
      printf "start-up, ours / empty-dialog floor: %.3f (median of %d alternating runs each)\n\n", med["ours", "startup_ms"] / med["floor", "startup_ms"], runs
    }' "$out/figures.txt"
done
emulates_32bit && echo "note: 32-bit programs run here through qemu's user-mode emulator: the x86 times are the emulator's" || true
