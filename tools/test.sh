#!/usr/bin/env bash
# Builds the product (x86), the test build (x64) and the native sanitizer build of the text
# composition, and runs every test; a failure in one does not stop the others, and the end says
# what failed where.
# TAVRIN_EMULATE_32BIT=1 runs the 32-bit programs through qemu's user-mode emulator, as a machine
# whose kernel has no 32-bit support does.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages
ensure_wine10_root
# From here on a failure is noted and the run goes on.
set +e
trap unemulate_32bit EXIT
start=$SECONDS
failed=() summary=$(mktemp)

# step NAME COMMAND...: runs it, noting NAME when it fails.
step() { local name=$1; shift; "$@" && return 0; failed+=("$name"); return 1; }
# tests NAME COMMAND...: a CTest run, its closing count kept for the summary.
tests() { local name=$1; shift; "$@" 2>&1 | tee -a "$summary" || failed+=("$name"); }

for preset in x86 x64; do
  step "$preset build" cmake --preset $preset >/dev/null && step "$preset build" cmake --build --preset $preset -j "$(nproc)"
done
[ -f build/x86/TavrinSetupWithSums.exe ] && echo "product: build/x86/TavrinSetup.exe, $(stat -c %s build/x86/TavrinSetup.exe) bytes;" \
  "with its package's sums, as a release builds it: $(stat -c %s build/x86/TavrinSetupWithSums.exe) bytes (budget $(cat cmake/size-budget))"
step "native build" cmake -S tests/native -B build/native -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug >/dev/null &&
  step "native build" cmake --build build/native -j "$(nproc)"
tests "x86 tests" ctest --preset x86 --no-tests=error
tests "native tests" bash -c 'cd build/native && ctest --output-on-failure --no-tests=error'
tests "x64 tests" ctest --preset x64 --no-tests=error

# One closing line for the whole run, from each CTest run's own.
read -r passed total < <(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests failed out of ([0-9]+)$/\1 \2/p' "$summary" |
  awk '{ f += $1; t += $2 } END { print t - f, t }')
rm -f "$summary"
echo
echo "$(emulates_32bit && echo "32-bit programs through qemu; " || true)$((SECONDS - start)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')"
fi
echo "all: ${passed:-0} passed, $(( ${total:-0} - ${passed:-0} )) failed"
[ ${#failed[@]} -eq 0 ]
