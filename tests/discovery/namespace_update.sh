#!/usr/bin/env bash
# Whole updates with the ports found by their names alone. Inside a private
# mount namespace a sysfs tree of our own shows ZT9047Q bridges at ttyUSBn
# and simulators' ptys stand in for /dev/ttyUSBn. Nothing of it is visible
# outside the namespace.
#   namespace_update.sh SIM_EXE FLASH_EXE [SCENARIO]
# SCENARIO:
#   one     (the default) one unit at ttyUSB0, zt9047q-flash without --port
#   all     --all: eight units at once, each must receive the packaged image
#           byte for byte; a decoy port (not the instrument's name) gets nothing,
#           nor does a unit whose serial number the --usb-serial filter refuses;
#           the JSON events carry each unit's USB location, serial and slot
#   watch   --watch: a unit at 2.20 attached from the start is left alone;
#           three units added one after another are each updated exactly once
#   reasons --watch --verify --record --slots --trace: units that complete
#           and are verified at 2.20, restart at their old version (not
#           verified), go silent, are pulled out mid-run and decline; each end's reason and hint, the summary, its yield, the trace's
#           and the summary's names and the records agree; SIGTERM then ends
#           the station with exit status 0
#   late    --watch as an unprivileged user: one unit is listed 300 ms before
#           its node exists, another's node lets the user in only 300 ms after
#           its listing (as udev does it); both are updated
# Exits 77 (skipped) without root or without mount namespaces.
set -u
sim_exe=$1
flash_exe=$2
scenario=${3:-one}

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

if [ "${ZT_NS_WORK:-}" = "" ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root to bind a sysfs tree over /sys"
  unshare -m --propagation private true 2>/dev/null || skip "private mount namespaces are not allowed here"
  had_node=0; [ -e /dev/ttyUSB0 ] && had_node=1
  work=$(mktemp -d)
  status=0
  ZT_NS_WORK=$work unshare -m --propagation private "$BASH" "$0" "$@" || status=$?
  rm -rf "$work"
  if [ "$had_node" = 0 ] && [ -e /dev/ttyUSB0 ]; then
    echo "FAIL: /dev/ttyUSB0 was left behind on the real /dev"; exit 1
  fi
  exit "$status"
fi

# --- inside the namespace ---
work=$ZT_NS_WORK
mount --make-rprivate / || skip "cannot make the mounts private"
sims=()
flash=
trap 'for p in "${sims[@]}" $flash; do kill "$p" 2>/dev/null; done' EXIT

# The tree: a root hub, a placeholder UART and a virtual console, with the
# kernel's relative links; bridges are added by add_bridge.
sys=$work/sys
usb=devices/pci0000:00/0000:00:14.0/usb1
mkdir -p "$sys/$usb" "$sys/class/tty" "$sys/devices/platform/serial8250/tty/ttyS1" "$sys/devices/virtual/tty/tty0"
printf '1d6b\n' > "$sys/$usb/idVendor"; printf '0002\n' > "$sys/$usb/idProduct"
printf 'xHCI Host Controller\n' > "$sys/$usb/product"
printf '0\n' > "$sys/devices/platform/serial8250/tty/ttyS1/type"
ln -s ../../../serial8250 "$sys/devices/platform/serial8250/tty/ttyS1/device"
ln -s ../../devices/platform/serial8250/tty/ttyS1 "$sys/class/tty/ttyS1"
ln -s ../../devices/virtual/tty/tty0 "$sys/class/tty/tty0"

# add_bridge N PRODUCT [SERIAL]: a USB bridge with that product string and the
# serial number ZT000N (or SERIAL) at ttyUSBN, plugged in at 1-(N+2).
# Its class entry comes last: the moment the listing can see the port.
add_bridge() {
  local n=$1 product=$2 dev="$usb/1-$(( $1 + 2 ))"
  local tty="$dev/$(basename "$dev"):1.0/ttyUSB$n/tty/ttyUSB$n"
  mkdir -p "$sys/$tty"
  printf '0403\n' > "$sys/$dev/idVendor"; printf '6001\n' > "$sys/$dev/idProduct"
  printf '%s\n' "$product" > "$sys/$dev/product"
  printf 'Zentek\n' > "$sys/$dev/manufacturer"
  printf '%s\n' "${3:-ZT000$n}" > "$sys/$dev/serial"
  ln -s ../../../ttyUSB$n "$sys/$tty/device"
  ln -s "../../$tty" "$sys/class/tty/ttyUSB$n"
}

# start_sim N ARGS...: a simulator whose pty stands in for /dev/ttyUSBN
# (once /dev is ours); its output goes to sim.N.out and sim.N.err.
start_sim() {
  local n=$1; shift
  "$sim_exe" "$@" > "$work/sim.$n.out" 2> "$work/sim.$n.err" &
  sims[$n]=$!
  for _ in $(seq 50); do [ -s "$work/sim.$n.out" ] && break; sleep 0.1; done
  read -r pty _ < "$work/sim.$n.out" || fail "simulator $n did not start"
  ptys[$n]=$pty
}
bind_sim() { touch "/dev/ttyUSB$1" && mount --bind "${ptys[$1]}" "/dev/ttyUSB$1"; }
# stop_sims N...: ends those simulators; each writes its report.
stop_sims() { for n in "$@"; do kill -TERM "${sims[$n]}"; wait "${sims[$n]}"; done; }
sim_says() { grep -q -- "$2" "$work/sim.$1.err"; }

case $scenario in
  one)    add_bridge 0 'ZT9047Q USB UART'; start_sim 0 --firmware 2.10 ;;
  all)    for n in 0 1 2 3 4 5 6 7; do
            add_bridge $n 'ZT9047Q USB UART'; start_sim $n --firmware 2.10 --save "$work/image.$n"
          done
          add_bridge 8 'USB Serial Port'; start_sim 8 --log "$work/decoy.log"
          add_bridge 9 'ZT9047Q USB UART' XY0009; start_sim 9 --firmware 2.10 --log "$work/outside.log" ;;
  watch)  add_bridge 0 'ZT9047Q USB UART'; start_sim 0 --firmware 2.20 --log "$work/attached.log"
          for n in 1 2 3; do start_sim $n --firmware 2.10; done ;;
  late)   for n in 0 1; do start_sim $n --firmware 2.10; done ;;
  reasons) for n in 0 1 2 3 4; do add_bridge $n 'ZT9047Q USB UART'; done
          start_sim 0 --firmware 2.10
          # Restarts still saying 2.10: not verified, without the 30 s a
          # silent unit takes (that wait is a virtual-time case).
          start_sim 1 --firmware 2.10 --reply 'ZT9047Q Field Unit VER 2.10'
          start_sim 2 --firmware 2.10 --silent-frame 40; start_sim 3 --firmware 2.10
          start_sim 4 --firmware 2.35 ;;
  *)      fail "no scenario '$scenario'" ;;
esac

# /dev of this namespace: a tmpfs with the few nodes the programs use and
# the ptys at ttyUSBn. The real /dev is shared with the whole machine.
mkdir "$work/olddev"
mount --rbind /dev "$work/olddev" && mount --make-rprivate "$work/olddev" \
  && mount -t tmpfs -o mode=755 zt-dev /dev || skip "cannot mount over /dev"
for n in null zero full random urandom tty ptmx; do
  [ -e "$work/olddev/$n" ] && touch "/dev/$n" && mount --bind "$work/olddev/$n" "/dev/$n"
done
mkdir /dev/pts && mount --bind "$work/olddev/pts" /dev/pts
ln -s /proc/self/fd /dev/fd
for n in "${!ptys[@]}"; do
  [ "$scenario" = watch ] && [ "$n" != 0 ] && continue # they come later
  [ "$scenario" = late ] && continue
  bind_sim "$n"
done
mount --bind "$sys" /sys || skip "cannot bind a tree over /sys"

status=0
case $scenario in
one)
  "$flash_exe" --list > "$work/list.out" 2>&1 < /dev/null || fail "--list exited $?"
  cat "$work/list.out"
  grep -q '^COM33  /dev/ttyUSB0  ZT9047Q USB UART (COM33)  \[instrument\]  usb 1-2 serial ZT0000$' "$work/list.out" \
    || fail "--list does not show the bridge's USB location and serial number"
  "$flash_exe" > "$work/flash.out" 2>&1 < /dev/null || status=$?
  stop_sims 0
  tr '\r' '\n' < "$work/flash.out" | grep -v '^$' | tail -n 4
  cat "$work/sim.0.err"
  grep -q '^Port: COM33' "$work/flash.out" || fail "COM33 was not detected"
  [ "$status" = 0 ] || fail "zt9047q-flash exited with $status"
  sim_says 0 'the packaged image, byte for byte' || fail "the simulator did not receive the packaged image"
  echo "PASS: COM33 found by its name and updated"
  ;;
all)
  # The bench names seven of its places; the eighth unit has no slot.
  for n in 0 1 2 3 4 5 6; do echo "A$(( n + 1 )) 1-$(( n + 2 ))"; done > "$work/slots"
  "$flash_exe" --all --json --usb-serial zt000 --usb-path 1 --slots "$work/slots" \
    > "$work/json" 2> "$work/human" < /dev/null || status=$?
  stop_sims 0 1 2 3 4 5 6 7 8 9
  sed -n '/^Summary:/,$p' "$work/human"
  [ "$status" = 0 ] || fail "zt9047q-flash --all exited with $status"
  python3 - "$work/json" <<'EOF' || fail "the JSON Lines are not as they should be"
import json, sys
ends = [e for e in map(json.loads, open(sys.argv[1])) if e["event"] == "end"]
ports = sorted(e["port"] for e in ends)
assert ports == ["COM%d" % n for n in range(33, 41)], ports
assert all(e["result"] == "completed" and e["unit_version"] == 2.1 for e in ends), ends
for e in ends:
    n = int(e["port"][3:]) - 33
    assert e["usb_path"] == "1-%d" % (n + 2) and e["usb_serial"] == "ZT000%d" % n, e
    assert e["slot"] == ("A%d" % (n + 1) if n < 7 else None), e
EOF
  grep -q '^A1: Result: completed' "$work/human" || fail "the slot's name does not lead its unit's lines"
  grep -q '^  Slot  Port' "$work/human" || fail "the summary has no slot column"
  [ ! -s "$work/outside.log" ] || fail "the unit outside the --usb-serial filter received bytes"
  for n in 0 1 2 3 4 5 6 7; do
    sim_says $n '1 updates completed.*the packaged image, byte for byte' || fail "unit $n: $(cat "$work/sim.$n.err")"
    cmp -s "$work/image.0" "$work/image.$n" || fail "unit $n saved another image"
  done
  [ "$(stat -c %s "$work/image.0")" = 103888 ] || fail "the saved image is not 103888 bytes"
  [ ! -s "$work/decoy.log" ] || fail "the decoy port received bytes"
  ! grep -q 'COM41' "$work/human" || fail "the decoy port was named"
  echo "PASS: eight units updated at once, each with the packaged image byte for byte, known by USB location," \
       "serial and slot; the decoy and the unit outside the filter left alone"
  ;;
watch)
  "$flash_exe" --watch --json > "$work/json" 2> "$work/human" < /dev/null &
  flash=$!
  ends() { grep -c "\"event\":\"end\"" "$work/json" 2>/dev/null; }
  # The units come one after another, each while the last is being updated.
  for n in 1 2 3; do
    sleep 2
    bind_sim $n; add_bridge $n 'ZT9047Q USB UART'
  done
  for _ in $(seq 300); do [ "$(ends)" -ge 4 ] && break; sleep 0.1; done
  sleep 1 # time for more listings: nothing is to start again
  kill -INT "$flash"; wait "$flash" || status=$?
  stop_sims 0 1 2 3
  sed -n '/^Summary:/,$p' "$work/human"
  [ "$status" = 0 ] || fail "zt9047q-flash --watch exited with $status"
  python3 - "$work/json" <<'EOF' || fail "the JSON Lines are not as they should be"
import json, sys
ends = [(e["port"], e["result"]) for e in map(json.loads, open(sys.argv[1])) if e["event"] == "end"]
assert sorted(ends) == [("COM33", "up-to-date"), ("COM34", "completed"), ("COM35", "completed"),
                        ("COM36", "completed")], ends
EOF
  for n in 1 2 3; do
    sim_says $n '1 updates completed.*the packaged image, byte for byte' || fail "unit $n: $(cat "$work/sim.$n.err")"
  done
  sim_says 0 '0 updates completed' || fail "the attached unit was updated"
  ! grep -q BOOT "$work/attached.log" || fail "the attached unit at 2.20 was asked to enter its bootloader"
  echo "PASS: units added one after another updated once each; the unit at 2.20 left alone"
  ;;
late)
  chmod 666 "${ptys[0]}"; chmod 600 "${ptys[1]}"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$flash_exe" --watch --json \
    > "$work/json" 2> "$work/human" < /dev/null &
  flash=$!
  appeared() {
    for _ in $(seq 250); do grep -q "^COM$1: a ZT9047Q port appeared" "$work/human" && return 0; sleep 0.02; done
    fail "COM$1 was not seen appearing"
  }
  # COM33: listed before its node exists.
  add_bridge 0 'ZT9047Q USB UART'; appeared 33
  sleep 0.3; bind_sim 0
  # COM34: its node is there, but the user may open it only once udev has
  # given it its mode.
  bind_sim 1; add_bridge 1 'ZT9047Q USB UART'; appeared 34
  sleep 0.3; chmod 666 /dev/ttyUSB1
  for _ in $(seq 300); do [ "$(grep -c '"event":"end"' "$work/json")" -ge 2 ] && break; sleep 0.1; done
  kill -INT "$flash"; wait "$flash" || status=$?
  flash=
  stop_sims 0 1
  sed -n '/^Summary:/,$p' "$work/human"
  [ "$status" = 0 ] || fail "zt9047q-flash --watch exited with $status: $(cat "$work/human")"
  python3 - "$work/json" <<'EOF' || fail "the JSON Lines are not as they should be"
import json, sys
ends = [(e["port"], e["result"]) for e in map(json.loads, open(sys.argv[1])) if e["event"] == "end"]
assert sorted(ends) == [("COM33", "completed"), ("COM34", "completed")], ends
EOF
  for n in 0 1; do
    sim_says $n '1 updates completed.*the packaged image, byte for byte' || fail "unit $n: $(cat "$work/sim.$n.err")"
  done
  echo "PASS: a unit listed before its node, and one before its mode, both updated"
  ;;
reasons)
  printf 'A1 1-2\nA2 1-3\nA3 1-4\nA4 1-5\n' > "$work/slots" # the unit at 1-6 has none
  "$flash_exe" --watch --verify --json --slots "$work/slots" --record "$work/records.db" --trace="$work/trace" \
    > "$work/json" 2> "$work/human" < /dev/null &
  flash=$!
  # Pulled out while its frames stream.
  for _ in $(seq 1000); do grep -q '"port":"COM36","percent":[1-9]' "$work/json" && break; sleep 0.02; done
  grep -q '"port":"COM36","percent":[1-9]' "$work/json" || fail "COM36 did not stream"
  kill -KILL "${sims[3]}"
  for _ in $(seq 600); do [ "$(grep -c '"event":"end"' "$work/json")" -ge 5 ] && break; sleep 0.1; done
  kill -TERM "$flash"; wait "$flash" || status=$?
  flash=
  stop_sims 0 1 2 4
  sed -n '/^Summary:/,$p' "$work/human"
  [ "$status" = 0 ] || fail "SIGTERM after failed runs: zt9047q-flash --watch exited with $status"
  python3 - "$work/json" "$work/human" "$work/trace" <<'EOF' || fail "the end events, the summary and the trace do not agree"
import json, re, sys
ends = {e["port"]: e for e in map(json.loads, open(sys.argv[1])) if e["event"] == "end"}
human = open(sys.argv[2]).read()
want = {"COM33": ("A1", "completed", "completed"), "COM34": ("A2", "completed", "not-verified"),
        "COM35": ("A3", "silence", "silence"), "COM36": ("A4", "silence", "unplugged"),
        "COM37": (None, "declined", "declined")}
assert sorted(ends) == sorted(want), sorted(ends)
for port, (slot, result, reason) in want.items():
    e = ends[port]
    assert (e["slot"], e["result"], e["reason"]) == (slot, result, reason), e
    assert e["hint"].endswith("."), e
    # New fields come last: the old ones keep their places.
    assert list(e)[-2:] == ["reason", "hint"], list(e)
    name = f"{slot} ({port})" if slot else port
    row = re.search(rf"^  {slot or '-'} +{port} +\S+ +{result} +\S+ +\S+ (not )?verified +{reason}$", human, re.M)
    assert row, (port, "no summary row")
    if reason != "completed":
        assert f"\n  {name}: {e['hint']}\n" in human + "\n", (port, "no hint under the summary")
assert "--yes" in ends["COM37"]["hint"], ends["COM37"]["hint"]
# Verified at 2.20, and the unit that restarts at 2.10 not verified.
assert ends["COM33"]["verified"] is True and ends["COM33"]["version_after"] == 2.2, ends["COM33"]
assert ends["COM34"]["verified"] is False and ends["COM34"]["version_after"] == 2.1, ends["COM34"]
assert re.search(r"^A2: Not verified: the ZT9047Q reports version 2.10, not 2.20", human, re.M), "COM34 not verified"
assert "\n5 runs: 1 completed, 1 not verified, 2 failed; 1 declined.\n" in human, "the yield"
trace = open(sys.argv[3]).read()
for name in ("A1 (COM33)", "A4 (COM36)", "COM37"):
    assert re.search(rf"^\d+\.\d{{3}} {re.escape(name)} > ", trace, re.M), name
EOF
  "$flash_exe" --records "$work/records.db" --format count > "$work/count" || fail "--records --format count exited $?"
  cat "$work/count"
  tr -d '\r' < "$work/count" > "$work/count.lf" # CSV lines end in CR LF
  grep -qx 'completed,2' "$work/count.lf" && grep -qx 'silence,2' "$work/count.lf" \
    && grep -qx 'declined,1' "$work/count.lf" || fail "the records do not count the runs as the summary does"
  # The same yield as the summary's line.
  grep -qx 'yield_completed,1' "$work/count.lf" && grep -qx 'yield_not_verified,1' "$work/count.lf" \
    && grep -qx 'yield_failed,2' "$work/count.lf" || fail "the records' yield is not the summary's"
  echo "PASS: each end's reason and hint, the summary with its yield, the trace and the records agree; SIGTERM exits 0"
  ;;
esac
exit 0
