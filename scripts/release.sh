#!/usr/bin/env bash
# Builds everything that ships, with a given firmware image and version:
#   scripts/release.sh IMAGE.hex X.YY [TOOL_RELEASE]
# into build/release/: the Windows MSI and portable zip (signed when
# ZT_SIGN_PKCS12 and ZT_SIGN_PASSWORD are set) and the Debian packages of
# version X.YY.TOOL_RELEASE. The configure step refuses a bad image or
# version before anything is built.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: scripts/release.sh IMAGE.hex X.YY [TOOL_RELEASE]" >&2
  exit 2
fi
image=$(realpath "$1")
version=$2
tool_release=${3:-0}
out=build/release
rm -rf "$out"
mkdir -p "$out"
inputs=(-DZT_FIRMWARE_HEX="$image" -DZT_FIRMWARE_VERSION="$version" -DZT_TOOL_RELEASE="$tool_release")

echo "== Windows: programs, MSI, portable zip"
cmake --preset mingw -B "$out/mingw" "${inputs[@]}"
cmake --build "$out/mingw" -j2 --target windows-dist
cp "$out"/mingw/dist/*.msi "$out"/mingw/dist/*.zip "$out/"

echo "== Debian packages"
# A copy of the sources with a changelog entry for this version: the
# package version is the programs' version.
mkdir -p "$out/deb/src"
tar --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$out/deb/src" -xf -
full="$version.$tool_release"
{
  echo "zt9047q-update ($full) bookworm; urgency=medium"
  echo
  echo "  * Firmware $version ($(basename "$image"))."
  echo
  echo " -- QNL firmware tools <tools@qnl.invalid>  $(date -R)"
  echo
  cat debian/changelog
} >"$out/deb/src/debian/changelog"
(cd "$out/deb/src" && ZT_FIRMWARE_HEX="$image" DEB_BUILD_OPTIONS="parallel=2 noautodbgsym" \
   dpkg-buildpackage -b -us -uc) >"$out/deb/build.log" 2>&1 ||
  { tail -30 "$out/deb/build.log"; echo "release: the Debian packages did not build" >&2; exit 1; }
cp "$out"/deb/*.deb "$out/"
ls -l "$out"
