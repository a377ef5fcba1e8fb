#!/usr/bin/env bash
# The x86 tests again under Debian 13's Wine 10, which keeps rules of Windows that Wine 8 hides:
# the core tests, every end-to-end test, and the dialog at 96, 144 and 192 DPI. They run in the
# root tools/deps.sh makes, entered in private mount and PID namespaces, so that its Xvfb, Wine
# server and small volume go with the run; the project folder is at its own path in there.
# Usage: wine10.sh STATE_DIR CORE_TESTS SETUP_TESTS PROGRAM
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${TAVRIN_INSIDE_WINE10:-}" ]; then
  . "$top/tools/deps.sh"
  [ -f "$WINE10_ROOT/.made" ] || { echo "no Wine 10 root in $WINE10_ROOT: tools/test.sh makes it"; exit 1; }
  as_root env TAVRIN_INSIDE_WINE10=1 unshare --mount --pid --fork --propagation private bash -c '
    root=$1 top=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "$root$top"
    mount --bind "$top" "$root$top"
    exec chroot "$root" "$top/tests/wine10.sh" "$@"' wine10 "$WINE10_ROOT" "$top" "$@"
  exit
fi

state=$1 core=$2 client=$3 program=$4
. "$top/tools/wine.sh" # winpath
trap '"$top/tests/wine/cleanup.sh" "$state"' EXIT
"$top/tests/wine/setup.sh" "$state" >/dev/null
. "$state/env.sh"
run() { "$top/tests/wine/run.sh" "$state" "$@"; }
export TAVRIN_EXE=$(winpath "$program")
echo "$(wine --version), 32-bit tests"
status=0
run "$core" || status=1
run "$client" || status=1
# The display's DPI is read when the server starts.
for dpi in 96 144 192; do
  run reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null
  wineserver -k
  wineserver -w
  as_user wineserver -p >/dev/null 2>&1
  TAVRIN_DPI=$dpi run "$client" --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_SharpAtTheDisplaysDpi' || status=1
done
exit $status
