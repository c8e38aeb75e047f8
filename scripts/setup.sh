#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, skipping
# what is already there. Needs root (or sudo) on a fresh machine.
set -euo pipefail

packages=(
  # core build and tests
  build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
  # the Qt window, and fonts so that its text really renders offscreen
  qt6-base-dev libgl-dev fonts-dejavu-core
  # the Windows program: cross compiler, resource compiler, Wine and a display
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine xvfb xauth x11-utils
  # Wine's own fonts (Marlett draws the title bar buttons) for the Wine tests and screenshots
  fonts-wine
  # sanitizers and fuzzing
  clang libclang-rt-dev
  # screenshots and namespaces
  imagemagick util-linux
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
