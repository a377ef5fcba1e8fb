#!/usr/bin/env bash
# Runs a Windows program in this run's Wine prefix, passing its exit code on.
# Usage: run.sh STATE_DIR PROGRAM [ARGS...]
# TAVRIN_LOCALE: a locale to run it in, which Wine takes the user's language from; given to Wine
# alone, since the shell would warn of one it lacks.
# The output goes through a file: Wine's own background processes, started by whichever program
# needs them first, would otherwise hold the caller's pipe open long after the program has ended.
# The programs it starts write there too, Wine's reports of their calls among it: TAVRIN_OUTPUT
# names the file to them.
state=$1; shift
. "$state/env.sh"
out=$(mktemp "$state/out.XXXXXX")
export TAVRIN_OUTPUT=$(printf 'Z:%s' "$out" | tr / '\\')
as_user env ${TAVRIN_LOCALE:+LC_ALL=$TAVRIN_LOCALE} wine "$@" >"$out" 2>&1
rc=$?
# Wine's reports of calls stay out of the log.
grep -avE '^[0-9a-f]{4}:[0-9a-f]{4}:(Call|Ret|Starting|trace:relay)' "$out"
rm -f "$out"
exit $rc
