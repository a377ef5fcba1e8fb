#!/usr/bin/env bash
# Makes a private Wine prefix and X display for one test run; cleanup.sh takes them down.
# Usage: setup.sh STATE_DIR
set -euo pipefail
state=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/deps.sh" # as_root

"$here/cleanup.sh" "$state"
rm -rf "$state"
mkdir -p "$state/drive-y" "$state/drive-x"
# Drive X: is a small volume of its own, for copies that fill it up.
as_root mount -t tmpfs -o size=256k tavrin-small "$state/drive-x"

# A display of its own: Xvfb names a free one through the descriptor.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state/display" >"$state/xvfb.log" 2>&1 </dev/null &
echo $! >"$state/xvfb.pid"
for _ in $(seq 100); do [ -s "$state/display" ] && break; sleep 0.1; done
[ -s "$state/display" ] || { echo "Xvfb did not start"; cat "$state/xvfb.log"; exit 1; }

cat >"$state/env.sh" <<ENV
export WINEPREFIX='$state/prefix' WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
export DISPLAY=:$(tr -d '\n' <"$state/display")
ENV
# Root writes to read-only files, and Wine keeps the read-only attribute in the files' modes: the
# tests' Wine runs without root's leave to pass over them, so that read-only means what it does
# for a user on Windows.
if [ "$(id -u)" -eq 0 ]; then
  echo "as_user() { setpriv --inh-caps=-dac_override --bounding-set=-dac_override \"\$@\"; }" >>"$state/env.sh"
else
  echo 'as_user() { "$@"; }' >>"$state/env.sh"
fi
. "$state/env.sh"

# A new prefix takes 20 s, and far longer where 32-bit code runs through an emulator: one is made
# for each Wine once and kept, and each run gets a copy of its own. The system folders' DLLs, which
# nothing writes, are shared by hard link where the file system allows.
template=/var/cache/tavrin/prefix-$(wine --version | tr -c 'A-Za-z0-9.\n-' _)-$(id -u)
if [ ! -f "$template/.made" ]; then
  as_root mkdir -p /var/cache/tavrin
  rm -rf "$template.$$"
  mkdir -p "$template.$$"
  cat >"$template.$$/settings.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[-HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\AeDebug]
REG
  (
    export WINEPREFIX=$template.$$/prefix
    wineboot -i
    wineserver -w
    wine regedit /S "$(winepath -w "$template.$$/settings.reg")"
    wineserver -w
  ) >"$state/wineboot.log" 2>&1
  touch "$template.$$/.made"
  # Another run may have made one meanwhile: the first stays.
  mv -T "$template.$$" "$template" 2>/dev/null || rm -rf "$template.$$"
fi
mkdir -p "$WINEPREFIX"
tar -C "$template/prefix" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 -cf - . |
  tar -C "$WINEPREFIX" -xf -
for folder in system32 syswow64; do
  cp -al "$template/prefix/drive_c/windows/$folder" "$WINEPREFIX/drive_c/windows/" 2>/dev/null ||
    cp -a "$template/prefix/drive_c/windows/$folder" "$WINEPREFIX/drive_c/windows/"
done
# Drives Y: (a scratch root) and X: (the small volume); the server must see them from its start.
ln -sfn "$state/drive-y" "$WINEPREFIX/dosdevices/y:"
ln -sfn "$state/drive-x" "$WINEPREFIX/dosdevices/x:"
# One server for the whole run saves a start for every test.
as_user wineserver -p >/dev/null 2>&1
echo "wine prefix ready at $WINEPREFIX on display $DISPLAY"
