#!/usr/bin/env bash
# zt9047q-flash.exe end to end under Wine: simulated units on ptys mapped
# into the test prefix as COM ports and registered as COM-port interfaces
# (after a decoy), so the tool finds them by its own detection.
#
#   cli_e2e.sh --exe EXE --register EXE --sim SIM --prefix DIR --scenario detect|all
#
# detect: --list marks COM8 as the instrument and shows the decoy's USB
#         serial number; a run without --port finds COM8 and updates it
#         (--json end event "completed").
# all:    --all updates COM8, COM10 and COM11 at once (the two-digit ones
#         are opened as \\.\COMnn).
# Each simulator must have received the packaged image byte for byte.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

exe="" register="" sim="" prefix="" scenario=""
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe="$2"; shift 2 ;;
    --register) register="$2"; shift 2 ;;
    --sim) sim="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --scenario) scenario="$2"; shift 2 ;;
    *) echo "cli_e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ ! -x "$sim" ]; then
  echo "cli_e2e: the native simulator $sim is missing (build the default preset first)" >&2
  exit 1
fi
case "$scenario" in
  detect) units=(8) ;;
  all) units=(8 10 11) ;;
  *) echo "cli_e2e: unknown scenario $scenario" >&2; exit 2 ;;
esac

run="$here/wine-run.sh"
"$run" "$prefix" --prepare
export WINEPREFIX="$prefix" WINEDEBUG=-all

work="$(mktemp -d)"
# The decoy is a USB device with a serial number: its instance ID says so.
decoy='USB\VID_0403&PID_6001\ZTDECOY3'
sim_pids=()
cleanup() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for com in "${units[@]}"; do rm -f "$prefix/dosdevices/com$com"; done
  "$run" "$prefix" "$register" remove ZTCLI >/dev/null 2>&1 || true
  "$run" "$prefix" "$register" remove "$decoy" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$run" "$prefix" "$register" remove ZTCLI >/dev/null
"$run" "$prefix" "$register" remove "$decoy" >/dev/null
"$run" "$prefix" "$register" add "$decoy" "USB Serial Port (COM3)" "USB Serial Port" "USB hub 1, port 2"
for com in "${units[@]}"; do
  "$run" "$prefix" "$register" add ZTCLI "ZT9047Q USB UART (COM$com)" "ZT9047Q USB UART" "USB hub 1, port $com"
  link="$prefix/dosdevices/com$com"
  rm -f "$link"
  "$sim" --firmware 2.10 --link "$link" >"$work/sim$com.out" 2>"$work/sim$com.err" &
  sim_pids+=($!)
done
for com in "${units[@]}"; do
  for _ in $(seq 100); do
    [ -s "$work/sim$com.out" ] && break
    sleep 0.05
  done
  echo "simulator: $(head -1 "$work/sim$com.out") as COM$com"
done

rc=0
fail() { echo "FAIL $*"; rc=1; }

if [ "$scenario" = detect ]; then
  # A text for people: CR LF line ends, as Windows writes them.
  "$run" "$prefix" "$exe" --list </dev/null 2>&1 | tr -d '\r' >"$work/list.out" || fail "--list exited $?"
  cat "$work/list.out"
  grep -Eq '^COM8 .*ZT9047Q USB UART \(COM8\)  \[instrument\]$' "$work/list.out" || fail "--list does not mark COM8"
  grep -Eq '^COM3 .*USB Serial Port \(COM3\)  serial ZTDECOY3$' "$work/list.out" \
    || fail "--list does not show the decoy COM3 unmarked, with its serial number"
  args=(--json)
else
  args=(--all --json)
fi

# No console on standard input: nothing is asked.
set +e
"$run" "$prefix" "$exe" "${args[@]}" </dev/null >"$work/events.jsonl" 2>"$work/human.err"
flash_rc=$?
set -e
cat "$work/human.err"
[ "$flash_rc" -eq 0 ] || fail "zt9047q-flash.exe ${args[*]} exited $flash_rc"
# JSON Lines end in a bare LF on Windows too.
if grep -q $'\r' "$work/events.jsonl"; then fail "a JSON line ends in CR LF"; fi
[ "$(grep -c '"event":"end"' "$work/events.jsonl")" -eq "${#units[@]}" ] || fail "not one end event per unit"
for com in "${units[@]}"; do
  grep -q "^{\"event\":\"end\",\"port\":\"COM$com\",\"result\":\"completed\"" "$work/events.jsonl" \
    || fail "no completed end event for COM$com"
done
if grep -q '"port":"COM3"' "$work/events.jsonl"; then fail "the decoy COM3 was touched"; fi
grep '"event":"end"' "$work/events.jsonl"

for i in "${!units[@]}"; do
  kill -TERM "${sim_pids[$i]}"
  wait "${sim_pids[$i]}" 2>/dev/null || true
  com=${units[$i]}
  grep -q "the packaged image, byte for byte" "$work/sim$com.err" \
    || fail "the simulator at COM$com did not receive the packaged image"
done
sim_pids=()

[ "$rc" -eq 0 ] && echo "cli e2e $scenario: PASS" || echo "cli e2e $scenario: FAIL"
exit "$rc"
