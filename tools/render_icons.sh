#!/usr/bin/env bash
# Renders icon 128 from resources/icons/zt9047q.svg at the sizes of desktop
# menus and launchers (48 px and up). The 16, 24 and 32 px images are drawn
# by hand on the pixel grid and are not made here. Needs rsvg-convert
# (Debian package librsvg2-bin); the results are checked in.
set -euo pipefail
cd "$(dirname "$0")/../resources/icons"

for size in 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" zt9047q.svg > "zt9047q-$size.png.tmp"
  mv "zt9047q-$size.png.tmp" "zt9047q-$size.png"
done
