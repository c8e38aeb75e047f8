#!/usr/bin/env bash
# The station page in a real browser (headless Chromium from Debian, over
# its DevTools protocol), and the bench's service unit through
# systemd-analyze. Uses the default build; builds what it needs.
#   SCREENSHOT=docs/screenshots/station-page.png bash scripts/test-web.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
[ -f "$build/build.ninja" ] || cmake --preset default
cmake --build "$build" -j2 --target page_demo zt9047q-flash

echo "-- the page in headless Chromium"
node tests/web/browser_test.js "$build/tests/web/page_demo" ${SCREENSHOT:+"$SCREENSHOT"}

echo "-- systemd-analyze verify zt9047q-station.service"
# The unit names the installed program; a copy names the one just built, so
# that the check needs nothing installed. Any complaint fails, not only the
# exit status.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sed "s|/usr/bin/zt9047q-flash|$PWD/$build/zt9047q-flash|" \
    resources/systemd/zt9047q-station.service > "$tmp/zt9047q-station.service"
grep -q "ExecStart=$PWD/$build/zt9047q-flash --watch --verify --record /var/lib/zt9047q/records.db --serve 127.0.0.1:8047" \
    "$tmp/zt9047q-station.service"
if ! out=$(systemd-analyze verify "$tmp/zt9047q-station.service" 2>&1) || [ -n "$out" ]; then
  echo "$out"
  echo "service unit: 0 passed, 1 failed"
  exit 1
fi
echo "service unit: 1 passed, 0 failed"
