#!/usr/bin/env bash
# Runs a Windows program in this run's Wine prefix, passing its exit code on.
# Usage: run.sh STATE_DIR PROGRAM [ARGS...]
# The output goes through a file: Wine's own background processes, started by whichever program
# needs them first, would otherwise hold the caller's pipe open long after the program has ended.
state=$1; shift
. "$state/env.sh"
out=$(mktemp "$state/out.XXXXXX")
as_user wine "$@" >"$out" 2>&1
rc=$?
cat "$out"
rm -f "$out"
exit $rc
