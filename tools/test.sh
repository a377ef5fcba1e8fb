#!/usr/bin/env bash
# Builds the product (x86) and the test build (x64) and runs every test; ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages

for preset in x86 x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)"
done
echo "product: build/x86/TavrinSetup.exe, $(stat -c %s build/x86/TavrinSetup.exe) bytes (budget 8192)"
ctest --preset x86 --no-tests=error
ctest --preset x64 --no-tests=error
