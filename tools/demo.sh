#!/usr/bin/env bash
# Builds the program and the sample package, lays out dist/ (the product beside the package), and
# runs the product from dist/ under 32-bit Wine against an NSIS folder made from Debian's NSIS:
# on your display if you have one, otherwise on a hidden one where it presses Install itself and
# saves screenshots. Then makensis compiles the installed example against that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
. tools/deps.sh
. tools/wine.sh
ensure_packages
cmake --preset x86 >/dev/null
cmake --build --preset x86 -j "$(nproc)" >/dev/null

rm -rf dist
cp -r build/x86/sample-package dist
cp build/x86/TavrinSetup.exe dist/
echo "dist/: the product ($(stat -c %s dist/TavrinSetup.exe) bytes) beside the sample package"

demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/shots"
nsis_tree "$demo/NSIS"
(cd "$demo/NSIS" && find . -type f | sort) >"$demo/before.txt"
user_display=${DISPLAY:-}
state=$demo/wine
wine_with_nsis "$state" "$demo/NSIS"

if [ -n "$user_display" ]; then
  echo "running the program on $user_display: NSIS folder $demo/NSIS"
  DISPLAY=$user_display wine dist/TavrinSetup.exe || true
else
  echo "no display: pressing Install on a hidden one"
  TAVRIN_PACKAGE=$(winpath "$top/dist") TAVRIN_SHOTS=$(winpath "$demo/shots") \
    tests/wine/run.sh "$state" build/x86/tests/setup_tests.exe \
    --gtest_also_run_disabled_tests --gtest_filter=Tool.DISABLED_PressInstall | grep -E '^message|FAIL' || true
  for shot in dialog result; do
    /usr/bin/convert "$demo/shots/$shot.bmp" -trim +repage "$demo/shots/$shot.png" && rm "$demo/shots/$shot.bmp"
    echo "screenshot: $demo/shots/$shot.png"
  done
fi
echo "what the program put into the NSIS folder:"
(cd "$demo/NSIS" && find . -type f | sort) | comm -13 "$demo/before.txt" - | sed 's|^\./|  |'
if compile_example "$demo/NSIS" >"$demo/makensis.log" 2>&1; then
  echo "makensis compiled the installed example: $demo/NSIS/Examples/Tavrin/TavrinTest.exe"
else
  echo "makensis could not compile the installed example ($demo/makensis.log):"
  tail -n 3 "$demo/makensis.log"
fi
