#!/usr/bin/env bash
# Builds the product again from clean, in another folder, and compares it byte for byte with the
# first build: nothing of the time or the place of a build may end up in the file.
# Usage: reproducible.sh SOURCE_DIR FIRST_EXE SCRATCH_DIR
set -euo pipefail
src=$1 first=$2 again=$3
rm -rf "$again"
cmake -S "$src" -B "$again" --toolchain "$src/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$again" --target TavrinSetup >/dev/null
cmp "$first" "$again/TavrinSetup.exe"
echo "two clean builds of TavrinSetup.exe are identical: $(stat -c %s "$first") bytes"
rm -rf "$again"
