#!/usr/bin/env bash
# Installs what one job needs from Debian's packages, skipping what is
# already there. Needs root (or sudo) on a fresh machine.
#   setup.sh main    a compiler, CMake and Ninja: zt9047q-flash and zt9047q-sim
#   setup.sh test    everything the tests and the packages need (the default)
#   setup.sh list    prints the test job's packages (for scripts/check-tools.sh)
set -euo pipefail

job=${1:-test}

# zt9047q-flash and zt9047q-sim need the C++ standard library, and the
# records room SQLite (the forwarder, which alone links libpq, is not built).
main_packages=(g++ cmake ninja-build libsqlite3-dev)

test_packages=(
  # core build and tests; Debian's python3 for the scripts within the tests
  build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev python3
  # a compiler cache: the test command builds the same sources seven ways, and
  # a later run recompiles only what changed
  ccache
  # the Qt window, and fonts so that its text really renders offscreen
  qt6-base-dev libgl-dev fonts-dejavu-core
  # the Windows program: cross compiler, resource compiler, Wine and a display
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine xvfb xauth x11-utils
  # Wine's own fonts (Marlett draws the title bar buttons) for the Wine tests and screenshots
  fonts-wine
  # sanitizers and fuzzing
  clang libclang-rt-dev
  # screenshots, namespaces, and udevadm to try the udev rule
  imagemagick util-linux udev
  # the station page: a real browser and Node.js to test it;
  # systemd-analyze checks the bench's service unit
  chromium nodejs systemd
  # the Debian packages: their build, manual pages from the programs' help, lintian
  debhelper dpkg-dev fakeroot help2man lintian
  # the records: SQLite and libpq, a PostgreSQL server for its tests, the sqlite3 shell
  libsqlite3-dev libpq-dev postgresql sqlite3
  # the Windows installer (wixl is a package of its own, beside msitools), signatures
  # with a key on a PKCS#11 token (SoftHSM, its engine, pkcs11-tool) and the portable zip;
  # (python3 above also answers the installer suite's time-stamp requests)
  wixl msitools osslsigncode openssl zip unzip softhsm2 libengine-pkcs11-openssl opensc
  # the page's own program: its HTTP library (TLS through GnuTLS) and its sandbox
  libmicrohttpd-dev libgnutls28-dev libseccomp-dev curl
  # units behind a network serial server (ss tells the ports it listens on)
  ser2net iproute2
  # a clean Debian root for the command line's package (scripts/check-debian-root.sh)
  debootstrap
)

case "$job" in
  main) packages=("${main_packages[@]}"); apt_options=(--no-install-recommends) ;;
  test) packages=("${test_packages[@]}"); apt_options=() ;;
  list) printf '%s\n' "${test_packages[@]}"; exit 0 ;;
  *) echo "usage: setup.sh [main|test|list]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup ($job): all packages present"
  exit 0
fi

echo "setup ($job): installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${apt_options[@]}" "${missing[@]}"
