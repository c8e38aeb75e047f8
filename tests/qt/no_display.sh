#!/usr/bin/env bash
# zt9047q-update where no window can be shown: a plain message and status 1,
# never Qt's abort (134); --help and --version need no display.
#   no_display.sh PROGRAM
set -uo pipefail
program="$1"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
failed=0

# expect STATUS TEXT -- ENV-ARGS... : runs the program without any display
# variable (plus ENV-ARGS) and checks its status and that TEXT was printed.
expect() {
  local want="$1" text="$2"
  shift 3
  env -u DISPLAY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET -u QT_QPA_PLATFORM "$@" >"$out" 2>&1 </dev/null
  local status=$?
  if [ "$status" != "$want" ] || ! grep -qF -- "$text" "$out"; then
    echo "FAIL: $* -> status $status (wanted $want), output:" >&2
    cat "$out" >&2
    failed=1
  fi
}

expect 1 "zt9047q-update: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)." -- "$program"
expect 0 "usage: zt9047q-update" -- "$program" --help
expect 0 "zt9047q-update 2.20" -- "$program" --version
# A display that is named but does not answer: Qt's platform fails anyway.
expect 1 "zt9047q-update: the window cannot be opened: no display could be reached." -- DISPLAY=:65000 "$program"
exit "$failed"
