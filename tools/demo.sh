#!/usr/bin/env bash
# Builds the program, lays out dist/ (the product beside a sample package), and runs the product
# from dist/ under 32-bit Wine against a demo NSIS folder: on your display if you have one,
# otherwise on a hidden one where it presses Install itself and saves screenshots.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
. tools/deps.sh
. tools/wine.sh
ensure_packages
cmake --preset x86 >/dev/null
cmake --build --preset x86 -j "$(nproc)" >/dev/null

# The sample package: stand-ins for the real files, and saying so.
sample_package() {
  mkdir -p "$1/Example" "$1/Include" "$1/Plugin"
  printf 'SAMPLE Readme.txt of the Tavrin plug-in package, for trying the setup program.\r\n' >"$1/Readme.txt"
  printf '; SAMPLE example script of the Tavrin plug-in package.\r\nOutFile "TavrinTest.exe"\r\nSection\r\nSectionEnd\r\n' >"$1/Example/TavrinTest.nsi"
  printf '; SAMPLE include header of the Tavrin plug-in package.\r\n' >"$1/Include/Tavrin.nsh"
  printf 'SAMPLE stand-in for the Tavrin plug-in DLL; not a real library.\r\n' >"$1/Plugin/Tavrin.dll"
}
rm -rf dist
mkdir -p dist
cp build/x86/TavrinSetup.exe dist/
sample_package dist
echo "dist/: the 32-bit product ($(stat -c %s dist/TavrinSetup.exe) bytes) beside the sample package"

demo=$top/build/demo
rm -rf "$demo"
mkdir -p "$demo/NSIS"/{Docs,Examples,Include,Plugins} "$demo/shots"
printf 'SAMPLE marker: stands in for the NSIS compiler\r\n' >"$demo/NSIS/makensis.exe"

user_display=${DISPLAY:-}
state=$demo/wine
wine_with_nsis "$state" "$demo/NSIS"

if [ -n "$user_display" ]; then
  echo "running the program on $user_display: NSIS folder $demo/NSIS"
  DISPLAY=$user_display wine dist/TavrinSetup.exe || true
else
  echo "no display: pressing Install on a hidden one"
  TAVRIN_DEMO_PACKAGE=$(winpath "$top/dist") TAVRIN_DEMO_SHOTS=$(winpath "$demo/shots") \
    tests/wine/run.sh "$state" build/x86/tests/setup_tests.exe \
    --gtest_also_run_disabled_tests --gtest_filter=Demo.DISABLED_PressInstall | grep -E '^message|FAIL' || true
  for shot in dialog result; do
    /usr/bin/convert "$demo/shots/$shot.bmp" -trim +repage "$demo/shots/$shot.png" && rm "$demo/shots/$shot.bmp"
    echo "screenshot: $demo/shots/$shot.png"
  done
fi
echo "what landed in the NSIS folder:"
(cd "$demo/NSIS" && find . -type f | sort | sed 's|^\./|  |')
