#!/usr/bin/env bash
# Builds both presets and says where the programs are.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages
for preset in x86 x64; do
  cmake --preset $preset >/dev/null
  cmake --build --preset $preset -j "$(nproc)"
done
echo "built: build/x86 (the 32-bit product) and build/x64 (the same sources, for the tests)"
