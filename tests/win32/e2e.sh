#!/usr/bin/env bash
# End to end under Wine: the simulated instrument on a pty, mapped into a
# private Wine prefix as a COM port; ZT9047QUpdate.exe on an X display (Xvfb
# when none is given); ui_driver.exe operating its window. Afterwards the
# simulator's summary tells whether it received the packaged image.
#
#   e2e.sh --exe EXE --driver EXE --register EXE --sim SIM --prefix DIR
#          --scenario update|close-yes [--screenshot PNG --sim-args "ARGS"]
#
# Wine's SetupAPI lists only the COM-port interfaces that a program has
# registered, so register_port.exe registers "ZT9047Q USB UART (COM8)" (on
# USB) after a decoy, and the window must find COM8 by its own detection.
# Wine does not enforce exclusive opens of COM ports, so "in use" cannot be
# shown here; "does not exist" is (a COM number with no device behind it).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

exe="" driver="" register="" sim="" prefix="" scenario="" screenshot="" sim_args=""
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe="$2"; shift 2 ;;
    --driver) driver="$2"; shift 2 ;;
    --register) register="$2"; shift 2 ;;
    --sim) sim="$2"; shift 2 ;;
    --prefix) prefix="$2"; shift 2 ;;
    --scenario) scenario="$2"; shift 2 ;;
    --screenshot) screenshot="$2"; shift 2 ;;
    --sim-args) sim_args="$2"; shift 2 ;;
    *) echo "e2e: unknown argument $1" >&2; exit 2 ;;
  esac
done

if [ ! -x "$sim" ]; then
  echo "e2e: the native simulator $sim is missing (build the default preset first)" >&2
  exit 1
fi

# No display given: run on a private Xvfb.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash "$0" \
    --exe "$exe" --driver "$driver" --register "$register" --sim "$sim" --prefix "$prefix" --scenario "$scenario" \
    ${screenshot:+--screenshot "$screenshot"} ${sim_args:+--sim-args "$sim_args"}
fi

run="$here/wine-run.sh"
"$run" "$prefix" --prepare
export WINEPREFIX="$prefix" WINEDEBUG=-all

# One virtual desktop, drawn by Wine with title bars, instead of bare X
# windows (there is no window manager on Xvfb).
if [ ! -f "$prefix/.zt-desktop" ]; then
  "$run" "$prefix" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$run" "$prefix" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x500 /f >/dev/null 2>&1
  touch "$prefix/.zt-desktop"
fi

work="$(mktemp -d)"
good=8 # the simulator's COM port in the prefix
bad=9  # a COM port with no device behind it
link="$prefix/dosdevices/com$good"
rm -f "$link" "$prefix/dosdevices/com$bad"

sim_pid="" app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -f "$link"
  "$run" "$prefix" "$register" remove ZTE2E >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The ports the window's detection sees: a decoy first, then the instrument.
"$run" "$prefix" "$register" remove ZTE2E >/dev/null
"$run" "$prefix" "$register" add ZTE2E "USB Serial Port (COM3)" "USB Serial Port" "USB hub 1, port 2"
"$run" "$prefix" "$register" add ZTE2E "ZT9047Q USB UART (COM$good)" "ZT9047Q USB UART" "USB hub 1, port 3"

# shellcheck disable=SC2086
"$sim" --firmware 2.10 --link "$link" $sim_args >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/sim.out" ] && break
  sleep 0.05
done
echo "simulator: $(head -1 "$work/sim.out") as COM$good"

"$run" "$prefix" "$exe" >"$work/app.log" 2>&1 &
app_pid=$!

case "$scenario" in
  update) driver_args=(update "$bad" "$good") ;;
  close-yes) driver_args=(close-yes "$good") ;;
  *) echo "e2e: unknown scenario $scenario" >&2; exit 2 ;;
esac

shot_pid=""
if [ -n "$screenshot" ]; then
  # A picture of the window in mid-transfer, once the bar is well under way.
  (
    for _ in $(seq 1200); do
      if grep -qE '^PROGRESS [4-9][0-9]' "$work/driver.log" 2>/dev/null; then
        import -window root "$work/shot.png" && convert "$work/shot.png" -crop 800x500+0+0 +repage "$screenshot"
        echo "screenshot: $screenshot"
        exit 0
      fi
      sleep 0.05
    done
  ) &
  shot_pid=$!
fi

set +e
"$run" "$prefix" "$driver" "${driver_args[@]}" >"$work/driver.log" 2>&1
driver_rc=$?
set -e
cat "$work/driver.log"
[ -n "$shot_pid" ] && wait "$shot_pid" 2>/dev/null || true

# The program ends when its window closes.
for _ in $(seq 200); do
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.05
done
if kill -0 "$app_pid" 2>/dev/null; then
  echo "FAIL ZT9047QUpdate.exe still running after its window closed"
  driver_rc=1
fi
app_pid=""

kill -TERM "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "simulator summary:"
cat "$work/sim.err"

rc=$driver_rc
if [ "$rc" -ne 0 ] && [ -s "$work/app.log" ]; then
  echo "ZT9047QUpdate.exe said:"
  cat "$work/app.log"
fi
if [ "$scenario" = update ]; then
  if ! grep -q "the packaged image, byte for byte" "$work/sim.err"; then
    echo "FAIL the simulator did not receive the packaged image"
    rc=1
  fi
else
  if grep -q "the packaged image, byte for byte" "$work/sim.err"; then
    echo "FAIL the whole image arrived although the run was closed"
    rc=1
  fi
fi
[ "$rc" -eq 0 ] && echo "e2e $scenario: PASS" || echo "e2e $scenario: FAIL"
exit "$rc"
