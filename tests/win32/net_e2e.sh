#!/usr/bin/env bash
# zt9047q-flash.exe under Wine through Winsock: two simulated units behind
# Debian's ser2net on loopback, one reached as rfc2217:// and one as
# socket://, updated at once; each must receive the image byte for byte.
#
#   net_e2e.sh --exe EXE --sim SIM --prefix DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

exe="" sim_bin="" prefix=""
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe="$2"; shift 2 ;;
    --sim) sim_bin="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    *) echo "net_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ ! -x "$sim_bin" ]; then
  echo "net_e2e: the native simulator $sim_bin is missing (build the default preset first)" >&2
  exit 1
fi
run="$here/wine-run.sh"
"$run" "$prefix" --prepare
export WINEPREFIX="$prefix" WINEDEBUG=-all

work="$(mktemp -d)"
. "$here/../net/ser2net.sh"
trap 'stop_all; rm -rf "$work"' EXIT

start_sim a --firmware 2.10
start_sim b --firmware 2.10
start_ser2net win "rfc2217 ${sim_pty[a]}" "tcp ${sim_pty[b]}"
read -r pa pb <<<"${ser2net_ports[win]}"

rc=0
fail() { echo "FAIL $*"; rc=1; }
set +e
"$run" "$prefix" "$exe" --port "rfc2217://127.0.0.1:$pa" --port "socket://127.0.0.1:$pb" --json \
  </dev/null >"$work/events.jsonl" 2>"$work/human.err"
status=$?
set -e
tr -d '\r' <"$work/human.err"
[ "$status" -eq 0 ] || fail "zt9047q-flash.exe exited $status"
for url in "rfc2217://127.0.0.1:$pa" "socket://127.0.0.1:$pb"; do
  grep -q "^{\"event\":\"end\",\"port\":\"$url\",\"result\":\"completed\"" "$work/events.jsonl" \
    || fail "no completed end event for $url"
done
sim_got_image a || fail "the unit behind rfc2217:// did not receive the packaged image"
sim_got_image b || fail "the unit behind socket:// did not receive the packaged image"

[ "$rc" -eq 0 ] && echo "net e2e: PASS" || echo "net e2e: FAIL"
exit "$rc"
