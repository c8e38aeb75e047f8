#!/usr/bin/env bash
# The command line's Debian package on a bare Debian 12: in a clean bookworm
# minbase root made by debootstrap, installing zt9047q-flash brings no Qt, no
# X and nothing graphical; a whole update against the simulator runs there;
# a purge leaves none of its files. Needs root and Debian's package mirror.
# Checks the packages in build/deb: scripts/test-package.sh makes them and
# runs this at its end.
#   scripts/check-debian-root.sh [MIRROR]
set -euo pipefail
cd "$(dirname "$0")/.."
# The root's mounts live in a private mount namespace of their own: nothing
# leaks to the machine's, even if this script is killed.
if [ -z "${ZT_CHECK_ROOT_NS:-}" ]; then
  ZT_CHECK_ROOT_NS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
mirror=${1:-http://deb.debian.org/debian}

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
flash_deb="build/deb/zt9047q-flash_${version}_${arch}.deb"
sim_deb="build/deb/zt9047q-sim_${version}_${arch}.deb"
[ -f "$flash_deb" ] && [ -f "$sim_deb" ] || { echo "run scripts/test-package.sh first" >&2; exit 1; }

# test-package.sh makes the root while it builds the packages and hands it
# over in ZT_DEBIAN_ROOT; this script owns it from then on.
root=${ZT_DEBIAN_ROOT:-$(mktemp -d)}
# A root directory others can enter, as on a real system: apt fetches as
# the user _apt.
chmod 755 "$root"
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" 2>/dev/null || true; done
  # Never into a mount that stayed (the machine's /dev, say).
  rm -rf --one-file-system "$root"; rm -f "$root".*
}
trap cleanup EXIT
fail() { echo "check-debian-root: $*" >&2; exit 1; }

t0=$(date +%s)
if [ -n "${ZT_DEBIAN_ROOT:-}" ]; then
  echo "== the bookworm minbase root made beside the packages' build: $root"
  [ -x "$root/usr/bin/apt-get" ] || fail "$root is not a finished Debian root"
else
  echo "== debootstrap bookworm minbase into $root"
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -20 "$root.debootstrap.log"; fail "debootstrap failed"; }
fi
t1=$(date +%s)
echo "debootstrap: $((t1 - t0)) s"
for m in proc sys dev dev/pts; do
  mount --bind "/$m" "$root/$m"; mounted+=("$root/$m")
done
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

in_root dpkg-query -W -f='${Package}\n' | sort >"$root.before"
cp "$flash_deb" "$sim_deb" "$root/tmp/"
in_root apt-get install -y -q "/tmp/$(basename "$flash_deb")" >"$root.install.log" 2>&1 ||
  { cat "$root.install.log"; fail "zt9047q-flash did not install"; }
in_root dpkg-query -W -f='${Package}\n' | sort >"$root.after"
added=$(comm -13 "$root.before" "$root.after")
echo "packages added by zt9047q-flash: $(echo $added)"
if grep -iE 'qt|libx|x11|libgl|gtk|wayland|fontconfig|freetype|mesa|libdrm' <<<"$added"; then
  fail "zt9047q-flash brought graphical packages"
fi

echo "== a whole update against the simulator, inside the root"
in_root dpkg -i "/tmp/$(basename "$sim_deb")" >/dev/null
in_root sh -c 'zt9047q-sim --firmware 2.10 >/tmp/sim.out 2>/tmp/sim.err & echo $! >/tmp/sim.pid
  for i in $(seq 100); do [ -s /tmp/sim.out ] && break; sleep 0.05; done
  zt9047q-flash --port "$(cut -d" " -f1 /tmp/sim.out)" </dev/null; rc=$?
  kill -INT "$(cat /tmp/sim.pid)"; sleep 0.5; cat /tmp/sim.err; exit $rc' || fail "the update failed"
in_root dpkg --purge zt9047q-sim >/dev/null

echo "== purge"
files=$(in_root dpkg -L zt9047q-flash | while read -r f; do [ -f "$root$f" ] && echo "$f"; done)
in_root apt-get purge -y -q zt9047q-flash >/dev/null
for f in $files; do
  [ ! -e "$root$f" ] || fail "$f is still there after the purge"
done
in_root dpkg-query -W zt9047q-flash >/dev/null 2>&1 && fail "zt9047q-flash is still known to dpkg"
rm -f "$root.before" "$root.after" "$root.install.log" "$root.debootstrap.log"
echo "check-debian-root: passed ($(( $(date +%s) - t0 )) s in all, debootstrap $((t1 - t0)) s)"
