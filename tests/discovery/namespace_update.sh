#!/usr/bin/env bash
# A whole update with the port found by its name alone. Inside a private
# mount namespace a sysfs tree of our own shows a ZT9047Q bridge at ttyUSB0
# and the simulator's pty stands in for /dev/ttyUSB0; zt9047q-flash runs
# without --port. Nothing of it is visible outside the namespace.
#   namespace_update.sh SIM_EXE FLASH_EXE
# Exits 77 (skipped) without root or without mount namespaces.
set -u
sim_exe=$1
flash_exe=$2

skip() { echo "SKIPPED: $*"; exit 77; }

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

# The tree: one USB bridge at ttyUSB0 below a root hub, a placeholder UART
# and a virtual console, with the kernel's relative links.
sys=$work/sys
usb=devices/pci0000:00/0000:00:14.0/usb1
tty=$usb/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0
mkdir -p "$sys/$tty" "$sys/class/tty" "$sys/devices/platform/serial8250/tty/ttyS1" "$sys/devices/virtual/tty/tty0"
printf '1d6b\n' > "$sys/$usb/idVendor"; printf '0002\n' > "$sys/$usb/idProduct"
printf 'xHCI Host Controller\n' > "$sys/$usb/product"
printf '0403\n' > "$sys/$usb/1-2/idVendor"; printf '6001\n' > "$sys/$usb/1-2/idProduct"
printf 'ZT9047Q USB UART\n' > "$sys/$usb/1-2/product"
printf 'Zentek\n' > "$sys/$usb/1-2/manufacturer"
ln -s ../../../ttyUSB0 "$sys/$tty/device"
ln -s "../../$tty" "$sys/class/tty/ttyUSB0"
printf '0\n' > "$sys/devices/platform/serial8250/tty/ttyS1/type"
ln -s ../../../serial8250 "$sys/devices/platform/serial8250/tty/ttyS1/device"
ln -s ../../devices/platform/serial8250/tty/ttyS1 "$sys/class/tty/ttyS1"
ln -s ../../devices/virtual/tty/tty0 "$sys/class/tty/tty0"

"$sim_exe" --firmware 2.10 > "$work/sim.out" 2> "$work/sim.err" &
sim=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
read -r pty com < "$work/sim.out" || { echo "FAIL: the simulator did not start"; kill "$sim"; exit 1; }
echo "simulator on $pty ($com), seen as /dev/ttyUSB0 (COM33)"

# /dev of this namespace: a tmpfs with the few nodes the programs use and
# the pty at ttyUSB0. The real /dev is shared with the whole machine.
mkdir "$work/olddev"
mount --rbind /dev "$work/olddev" && mount --make-rprivate "$work/olddev" \
  && mount -t tmpfs -o mode=755 zt-dev /dev || { kill "$sim"; skip "cannot mount over /dev"; }
for n in null zero full random urandom tty ptmx; do
  [ -e "$work/olddev/$n" ] && touch "/dev/$n" && mount --bind "$work/olddev/$n" "/dev/$n"
done
mkdir /dev/pts && mount --bind "$work/olddev/pts" /dev/pts
ln -s /proc/self/fd /dev/fd
touch /dev/ttyUSB0 && mount --bind "$pty" /dev/ttyUSB0
mount --bind "$sys" /sys || { kill "$sim"; skip "cannot bind a tree over /sys"; }

status=0
"$flash_exe" > "$work/flash.out" 2>&1 < /dev/null || status=$?
kill -TERM "$sim"; wait "$sim"
tr '\r' '\n' < "$work/flash.out" | grep -v '^$' | tail -n 4
cat "$work/sim.err"

grep -q '^Port: COM33' "$work/flash.out" || { echo "FAIL: COM33 was not detected"; exit 1; }
[ "$status" = 0 ] || { echo "FAIL: zt9047q-flash exited with $status"; exit 1; }
grep -q 'the packaged image, byte for byte' "$work/sim.err" \
  || { echo "FAIL: the simulator did not receive the packaged image"; exit 1; }
echo "PASS: COM33 found by its name and updated"
