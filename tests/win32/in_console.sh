#!/usr/bin/env bash
# Runs a cross-built program under Wine with a real console: a pseudo
# terminal (from script(1)) on its standard input, which Wine turns into the
# program's console. Its output goes to a file and is shown afterwards, free
# of the console's drawing; the exit status is the program's.
# Usage: in_console.sh PREFIX PROGRAM [ARGS...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
prefix="$1"
shift
"$here/wine-run.sh" "$prefix" --prepare
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
command="$(printf '%q ' "$here/wine-run.sh" "$prefix" "$@")"
# Wine's console needs a terminal type it knows, whatever the caller has.
status=0
TERM=xterm script -qec "$command >$(printf '%q' "$log") 2>&1" /dev/null </dev/null >/dev/null || status=$?
cat "$log"
exit "$status"
