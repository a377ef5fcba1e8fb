#!/usr/bin/env bash
# Builds the product (x86), the test build (x64) and the native sanitizer build of the text
# composition, and runs every test; ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages
ensure_wine10_root

for preset in x86 x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)"
done
echo "product: build/x86/TavrinSetup.exe, $(stat -c %s build/x86/TavrinSetup.exe) bytes; with its package's sums, as a" \
  "release builds it: $(stat -c %s build/x86/TavrinSetupWithSums.exe) bytes (budget $(cat cmake/size-budget))"
cmake -S tests/native -B build/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j "$(nproc)"
ctest --preset x86 --no-tests=error
(cd build/native && ctest --output-on-failure --no-tests=error)
ctest --preset x64 --no-tests=error
