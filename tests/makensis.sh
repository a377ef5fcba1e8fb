#!/usr/bin/env bash
# The installed package at work. The program, run from a folder beside the sample package and
# driven by the test client, installs into an NSIS tree made from Debian's NSIS; Debian's makensis
# then compiles the installed example against that tree, which finds the header in Include and
# the plug-in where NSIS 3 looks for it.
# Usage: makensis.sh STATE_DIR PROGRAM SAMPLE_PACKAGE CLIENT SCRATCH_DIR
set -euo pipefail
state=$1 program=$2 sample=$3 client=$4 scratch=$5
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/wine.sh"
. "$state/env.sh"

rm -rf "$scratch"
mkdir -p "$scratch"
cp -r "$sample" "$scratch/package"
cp "$program" "$scratch/package/"
nsis_tree "$scratch/NSIS"
wine reg add 'HKLM\SOFTWARE\NSIS' /ve /d "$(winpath "$scratch/NSIS")" /reg:32 /f >/dev/null 2>&1
status=0
TAVRIN_PACKAGE=$(winpath "$scratch/package") "$top/tests/wine/run.sh" "$state" "$client" \
  --gtest_also_run_disabled_tests --gtest_filter=Tool.DISABLED_PressInstall || status=$?
wine reg delete 'HKLM\SOFTWARE\NSIS' /f /reg:32 >/dev/null 2>&1 || true
[ $status -eq 0 ] || exit $status
compile_example "$scratch/NSIS"
echo "makensis compiled the installed example: $(stat -c %s "$scratch/NSIS/Examples/Tavrin/TavrinTest.exe") bytes"
rm -rf "$scratch"
