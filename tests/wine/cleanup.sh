#!/usr/bin/env bash
# Stops this run's Wine server and Xvfb, by their prefix and PID only, and unmounts its small volume.
# Usage: cleanup.sh STATE_DIR
state=$1
. "$(dirname "$0")/../../tools/deps.sh" # as_root
if [ -f "$state/env.sh" ]; then
  . "$state/env.sh"
  wineserver -k 2>/dev/null || true
fi
if [ -f "$state/xvfb.pid" ]; then
  kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
  rm -f "$state/xvfb.pid"
fi
if mountpoint -q "$state/drive-x" 2>/dev/null; then
  as_root umount "$state/drive-x" || true
fi
exit 0
