#!/usr/bin/env bash
# Builds the Debian packages into OUT, from a copy of the sources in
# OUT/src: dpkg-buildpackage writes next to the source tree, and its debris
# must not land in the repository.
#   scripts/build-debs.sh OUT                     the sources as they are
#   scripts/build-debs.sh OUT IMAGE.hex X.YY.Z    with another packaged image,
#                                                 as version X.YY.Z
set -euo pipefail
cd "$(dirname "$0")/.."

out=$1
rm -rf "$out"
mkdir -p "$out/src"
tar --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$out/src" -xf -
if [ $# -eq 3 ]; then
  # debian/rules takes the firmware version from the changelog's first entry.
  ZT_FIRMWARE_HEX=$(realpath "$2")
  export ZT_FIRMWARE_HEX
  {
    echo "zt9047q-update ($3) bookworm; urgency=medium"
    echo
    echo "  * Firmware ${3%.*} ($(basename "$2"))."
    echo
    echo " -- QNL firmware tools <tools@qnl.invalid>  $(date -R)"
    echo
    cat debian/changelog
  } >"$out/src/debian/changelog"
fi

echo "== dpkg-buildpackage (log: $out/build.log)"
if ! (cd "$out/src" && DEB_BUILD_OPTIONS="parallel=2 noautodbgsym" dpkg-buildpackage -b -us -uc) \
     >"$out/build.log" 2>&1; then
  tail -40 "$out/build.log"
  echo "build-debs: the packages did not build" >&2
  exit 1
fi
