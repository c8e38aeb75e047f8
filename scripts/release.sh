#!/usr/bin/env bash
# Builds everything that ships, with a given firmware image and version:
#   scripts/release.sh IMAGE.hex X.YY [TOOL_RELEASE]
# into build/release/: the Windows MSI and portable zip (signed when a key
# is given: ZT_SIGN_PKCS12 and ZT_SIGN_PASSWORD, or ZT_SIGN_PKCS11_MODULE,
# ZT_SIGN_PKCS11_KEY, ZT_SIGN_CERT and ZT_SIGN_PIN; time-stamped with
# ZT_SIGN_TIMESTAMP_URL) and the Debian packages of
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
bash scripts/build-debs.sh "$out/deb" "$image" "$version.$tool_release"
cp "$out"/deb/*.deb "$out/"
ls -l "$out"
