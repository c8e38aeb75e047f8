#!/usr/bin/env bash
# The station page in a real browser (headless Chromium from Debian, over
# its DevTools protocol): scripted events, then zt9047q-flash --serve with
# eight simulated units; the refusals of --serve; and the bench's service
# unit through systemd-analyze. Uses the default build; builds what it needs.
#   SCREENSHOT=docs/screenshots/station-page.png bash scripts/test-web.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
[ -f "$build/build.ninja" ] || cmake --preset default
cmake --build "$build" -j2 --target page_demo zt9047q-flash zt9047q-page zt9047q-sim

echo "-- the page in headless Chromium"
node tests/web/browser_test.js "$build/tests/web/page_demo"

echo "-- the page of a station of eight simulated units"
node tests/web/station_run_test.js "$build/zt9047q-flash" "$build/zt9047q-sim" ${SCREENSHOT:+"$SCREENSHOT"}

echo "-- --serve refusals"
# Each refused before any unit is touched: status 2 and the reason.
pass=0 fail=0
refused() { # WHY EXPECTED-TEXT ARGS...
  local why=$1 text=$2 out status=0
  shift 2
  out=$("$build/zt9047q-flash" "$@" 2>&1 >/dev/null) || status=$?
  if [ "$status" = 2 ] && grep -qF -- "$text" <<<"$out"; then
    pass=$((pass + 1))
  else
    fail=$((fail + 1))
    echo "FAIL: $why: status $status: $out"
  fi
}
refused "a wider address without a token" "needs a token file" --port COM200 --port COM201 --serve 0.0.0.0:0
refused "--serve with one unit" "--serve shows a station" --port COM200 --serve 0
refused "--serve without a station mode" "--serve shows a station" --serve 127.0.0.1:0
refused "a port out of range" "[ADDR:]PORT" --all --serve 127.0.0.1:70000
refused "--serve-token without --serve" "--serve-token is for --serve" --all --serve-token /dev/null
echo "--serve refusals: $pass passed, $fail failed"
[ "$fail" = 0 ]

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

echo "-- systemd-sysusers: the service's user"
# Into an empty root: the user and its group appear, and it is in dialout.
mkdir -p "$tmp/root/etc"
systemd-sysusers --root "$tmp/root" /usr/lib/sysusers.d/basic.conf "$PWD/resources/systemd/zt9047q-station.sysusers" >/dev/null 2>&1
if grep -q '^zt9047q:x:[0-9]*:[0-9]*:[^:]*:/var/lib/zt9047q:/usr/sbin/nologin$' "$tmp/root/etc/passwd" &&
   grep -q '^dialout:x:20:zt9047q$' "$tmp/root/etc/group"; then
  echo "service user: 1 passed, 0 failed"
else
  echo "service user: 0 passed, 1 failed"
  exit 1
fi
