#!/usr/bin/env bash
# The udev rule against bridges named as the port detection names them:
# udevadm test runs the rule alone on a sysfs tree of our own (a USB
# device with the given product string, its ttyUSB0 below it) inside a
# private mount namespace, where udev's database and /dev are scratch
# copies. Nothing of it is visible outside the namespace.
#   udev_rule.sh RULES_FILE
# Exits 77 (skipped) without root, udevadm or mount namespaces.
set -u
rule=$1

skip() { echo "SKIPPED: $*"; exit 77; }

if [ "${ZT_NS_WORK:-}" = "" ]; then
  [ "$(id -u)" -eq 0 ] || skip "needs root to bind a sysfs tree over /sys"
  command -v udevadm >/dev/null || skip "udevadm is not installed"
  unshare -m --propagation private true 2>/dev/null || skip "private mount namespaces are not allowed here"
  work=$(mktemp -d)
  status=0
  ZT_NS_WORK=$work unshare -m --propagation private "$BASH" "$0" "$@" || status=$?
  rm -rf "$work"
  exit "$status"
fi

# --- inside the namespace ---
work=$ZT_NS_WORK
mount --make-rprivate / || skip "cannot make the mounts private"

# udevadm test writes its database and device links: /run and /dev are
# scratch file systems here.
mount -t tmpfs -o mode=755 zt-run /run || skip "cannot mount over /run"
mkdir -p /run/udev/rules.d "$work/dev"
mount -t tmpfs -o mode=755 zt-dev "$work/dev" && touch "$work/dev/null" && mount --bind /dev/null "$work/dev/null" \
  && mount --bind "$work/dev" /dev || skip "cannot mount over /dev"
# Only this rule, in every directory udev reads rules from.
mkdir "$work/rules" && cp "$rule" "$work/rules/"
for d in /etc/udev/rules.d /run/udev/rules.d /usr/lib/udev/rules.d /usr/local/lib/udev/rules.d /lib/udev/rules.d; do
  [ -d "$d" ] && mount --bind "$work/rules" "$d"
done

# udevadm test on a tree with a bridge of this product string: prints the
# device's properties.
run_rule() {
  local sys=$work/sys usb=devices/pci0000:00/0000:00:14.0/usb1
  local dev=$usb/1-2 tty=$usb/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0 d
  rm -rf "$sys" /run/udev/data
  mkdir -p "$sys/$tty" "$sys/class/tty" "$sys/bus/usb"
  for d in devices/pci0000:00 devices/pci0000:00/0000:00:14.0 $usb $dev $dev/1-2:1.0 \
           $dev/1-2:1.0/ttyUSB0 $dev/1-2:1.0/ttyUSB0/tty; do
    : > "$sys/$d/uevent"
  done
  printf 'MAJOR=188\nMINOR=0\nDEVNAME=ttyUSB0\n' > "$sys/$tty/uevent"
  printf '188:0\n' > "$sys/$tty/dev"
  ln -s ../../../../../../../../../class/tty "$sys/$tty/subsystem"
  ln -s ../../../../../bus/usb "$sys/$dev/subsystem"
  printf '%s\n' "$1" > "$sys/$dev/product"
  ln -s "../../$tty" "$sys/class/tty/ttyUSB0"
  mount --bind "$sys" /sys || skip "cannot bind a tree over /sys"
  # The tree is a plain directory, not sysfs: let udev read it all the same.
  SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add /sys/class/tty/ttyUSB0 2>&1
  umount /sys
}

status=0
check() { # check PRODUCT yes|no
  local out
  out=$(run_rule "$1")
  if grep -q "$(basename "$rule"):[0-9]" <<<"$out"; then
    echo "FAIL: udev rejects a line of the rule:"; grep "$(basename "$rule"):[0-9]" <<<"$out"; status=1
    return
  fi
  local access=no ignore=no
  grep -q '^CURRENT_TAGS=.*:uaccess:' <<<"$out" && access=yes
  grep -qx 'ID_MM_DEVICE_IGNORE=1' <<<"$out" && ignore=yes
  if [ "$access" = "$2" ] && [ "$ignore" = "$2" ]; then
    echo "ok: '$1': uaccess $access, ModemManager ignores it: $ignore"
  else
    echo "FAIL: '$1': uaccess $access, ModemManager ignores it: $ignore (expected $2)"; status=1
  fi
}

check "ZT9047Q USB UART" yes
check "zt9047q uart usb bridge" yes
check "USB Serial Port" no
check "ZT9047Q USB Serial" no
exit $status
