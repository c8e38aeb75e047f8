#!/usr/bin/env bash
# Builds the Debian packages from a copy of the sources in build/deb
# (zt9047q-flash: the command line, the udev rule and its manual page;
# zt9047q-update: the window, its icons and manual page; zt9047q-sim: the
# simulator; zt9047q-station: the bench's service and its user) and checks them: lintian must report no error and no warning,
# each package must carry its files and no other package's, and the command
# line's must need no window system; then, in a clean Debian 12 root, the
# command line's package must install alone, update a simulated unit and
# purge without a trace (scripts/check-debian-root.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

out=build/deb
# The clean Debian root for the last check is made while the packages build:
# debootstrap mostly waits on the mirror and the disk. Its mounts (debootstrap
# mounts /proc in the root) stay in a mount namespace of its own.
root=$(mktemp -d)
rootlog=$(mktemp)
root_pid=""
cleanup() {
  if [ -n "$root_pid" ]; then kill "$root_pid" 2>/dev/null || true; wait "$root_pid" 2>/dev/null || true; fi
  [ -d "$root" ] && rm -rf --one-file-system "$root"
  rm -f "$rootlog"
}
trap cleanup EXIT
unshare --mount --propagation private \
  debootstrap --variant=minbase bookworm "$root" "${ZT_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
  >"$rootlog" 2>&1 &
root_pid=$!
bash scripts/build-debs.sh "$out"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
flash_deb="$out/zt9047q-flash_${version}_${arch}.deb"
update_deb="$out/zt9047q-update_${version}_${arch}.deb"
sim_deb="$out/zt9047q-sim_${version}_${arch}.deb"
station_deb="$out/zt9047q-station_${version}_${arch}.deb"
ls -l "$flash_deb" "$update_deb" "$sim_deb" "$station_deb"

echo "== lintian"
# Informational tags are shown but do not fail the run.
lintian --display-info --fail-on error,warning "$flash_deb" "$update_deb" "$sim_deb" "$station_deb"
echo "lintian: no errors, no warnings"

echo "== contents"
status=0
expect() { # expect DEB PATH: the package must carry PATH
  if ! dpkg-deb -c "$1" | awk '{print $6}' | grep -qxF "./$2"; then
    echo "test-package: $(basename "$1") lacks /$2" >&2
    status=1
  fi
}
for f in usr/bin/zt9047q-flash usr/share/man/man1/zt9047q-flash.1.gz usr/lib/udev/rules.d/70-zt9047q.rules \
         usr/share/doc/zt9047q-flash/copyright usr/share/doc/zt9047q-flash/changelog.gz; do
  expect "$flash_deb" "$f"
done
for f in usr/bin/zt9047q-update usr/share/man/man1/zt9047q-update.1.gz \
         usr/share/applications/zt9047q-update.desktop \
         usr/share/icons/hicolor/scalable/apps/zt9047q-update.svg \
         usr/share/doc/zt9047q-update/copyright usr/share/doc/zt9047q-update/changelog.gz; do
  expect "$update_deb" "$f"
done
for size in 16 24 32 48 64 128 256; do
  expect "$update_deb" "usr/share/icons/hicolor/${size}x${size}/apps/zt9047q-update.png"
done
for f in usr/bin/zt9047q-sim usr/share/man/man1/zt9047q-sim.1.gz usr/share/doc/zt9047q-sim/copyright; do
  expect "$sim_deb" "$f"
done
for f in lib/systemd/system/zt9047q-station.service usr/lib/sysusers.d/zt9047q-station.conf \
         usr/share/doc/zt9047q-station/copyright usr/bin/zt9047q-forward lib/systemd/system/zt9047q-forward.service usr/bin/zt9047q-page \
         usr/share/man/man1/zt9047q-page.1.gz; do
  expect "$station_deb" "$f"
done
# The service is for a dedicated bench: the package must not enable or start it.
if dpkg-deb --ctrl-tarfile "$station_deb" | tar -xOf - ./postinst 2>/dev/null | grep -qE 'systemctl.*(enable|start)|deb-systemd-invoke (start|restart)'; then
  echo "test-package: zt9047q-station enables or starts its service on installation" >&2; status=1
fi
# No file in two packages; the simulator only in its own.
for deb in "$flash_deb" "$update_deb" "$sim_deb" "$station_deb"; do
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}'
done | sort | uniq -d >"$out/duplicates"
if [ -s "$out/duplicates" ]; then
  echo "test-package: files in more than one package:" >&2; cat "$out/duplicates" >&2; status=1
fi
for deb in "$flash_deb" "$update_deb"; do
  if dpkg-deb -c "$deb" | grep -q 'zt9047q-sim'; then
    echo "test-package: $(basename "$deb") carries the simulator" >&2; status=1
  fi
done
# The command line needs only the C and C++ runtimes: no Qt, no X, no GL.
flash_depends=$(dpkg-deb -f "$flash_deb" Depends)
echo "zt9047q-flash depends on: $flash_depends"
if grep -qiE 'qt|libx|libgl|libxkb|libfontconfig|libfreetype' <<<"$flash_depends"; then
  echo "test-package: zt9047q-flash depends on a window system" >&2; status=1
fi
# Nor a database server's client: that is the forwarder's, in the station's package.
if grep -qiE 'libpq' <<<"$flash_depends"; then
  echo "test-package: zt9047q-flash depends on libpq" >&2; status=1
fi
# The window brings the command line (and so the udev rule) of its own version.
dpkg-deb -f "$update_deb" Depends | grep -qF "zt9047q-flash (= $version)" ||
  { echo "test-package: zt9047q-update does not depend on zt9047q-flash (= $version)" >&2; status=1; }

# The option pages are made from the programs' help: they must list the
# options, not just a name.
man_text() { dpkg-deb --fsys-tarfile "$1" | tar -xOf - "./$2" | gzip -dc; }
man_text "$flash_deb" usr/share/man/man1/zt9047q-flash.1.gz | grep -qF '\-\-port' ||
  { echo "test-package: the zt9047q-flash page lacks --port" >&2; status=1; }
man_text "$sim_deb" usr/share/man/man1/zt9047q-sim.1.gz | grep -qF '\-\-save' ||
  { echo "test-package: the zt9047q-sim page lacks --save" >&2; status=1; }

[ $status -eq 0 ] || exit $status
echo "the four packages carry their programs, manual pages, udev rule, icons and copyright, each file once"

echo "== the command line's package in a clean Debian 12"
if ! wait "$root_pid"; then
  root_pid=""
  tail -20 "$rootlog"; echo "test-package: debootstrap failed" >&2; exit 1
fi
root_pid=""
# From here the check owns the root and removes it.
ZT_DEBIAN_ROOT=$root bash scripts/check-debian-root.sh
root=""
