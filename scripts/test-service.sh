#!/usr/bin/env bash
# The bench's service as an operator meets it: systemd-analyze rates its
# unit 4.0 or better, and the records it keeps under its own user (the
# unit's state folder mode and umask) can be exported by a member of its
# group, not by anybody else, who is told how to get in. Users are bare
# numeric ids (no account is made); needs root for them, else skipped.
# Uses the default build; builds what it needs.
set -uo pipefail
cd "$(dirname "$0")/.."

build=build/default
[ -f "$build/build.ninja" ] || cmake --preset default
cmake --build "$build" -j2 --target zt9047q-flash >/dev/null || exit 1
unit=resources/systemd/zt9047q-station.service
pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }

echo "-- systemd-analyze security zt9047q-station.service"
out=$(systemd-analyze security --offline=true "$unit" 2>&1)
level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$out")
echo "exposure: ${level:-?}"
if [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 4.0) }'; then ok; else bad "exposure ${level:-unknown} above 4.0"; fi

echo "-- the records under the service's folder mode and umask"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: needs root to act as the service's user and an operator"
else
  mode=$(sed -n 's/^StateDirectoryMode=//p' "$unit")
  umask_value=$(sed -n 's/^UMask=//p' "$unit")
  [ "$mode" = 0750 ] && [ "$umask_value" = 0027 ] && ok || bad "state folder $mode and umask $umask_value, not 0750 and 0027"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  chmod 755 "$tmp"
  # As systemd makes it: owned by the service's user and group, that mode.
  service=61470 operator=61471 stranger=61472
  install -d -m "$mode" -o "$service" -g "$service" "$tmp/state"
  # One run recorded by the service's user (no unit here: a not-found run).
  (umask "$umask_value"
   setpriv --reuid=$service --regid=$service --clear-groups \
     "$build/zt9047q-flash" --all --record "$tmp/state/records.db" < /dev/null > /dev/null 2> "$tmp/station.err")
  perms=$(stat -c '%a' "$tmp/state" "$tmp/state/records.db" | tr '\n' ' ')
  [ "$perms" = "750 640 " ] && ok || bad "folder and records are $perms, not 750 640"
  if setpriv --reuid=$operator --regid=$operator --groups=$service \
       "$build/zt9047q-flash" --records "$tmp/state/records.db" --format csv > "$tmp/export.csv" 2> "$tmp/export.err" &&
     grep -q ',not-found,' "$tmp/export.csv"; then ok; else bad "a member of the group cannot export: $(cat "$tmp/export.err")"; fi
  if setpriv --reuid=$stranger --regid=$stranger --clear-groups \
       "$build/zt9047q-flash" --records "$tmp/state/records.db" --format csv > /dev/null 2> "$tmp/refused.err"; then
    bad "somebody outside the group exported the records"
  elif grep -q "sudo usermod -aG zt9047q" "$tmp/refused.err"; then ok; else bad "no way in named: $(cat "$tmp/refused.err")"; fi
fi

echo "service: $pass passed, $fail failed"
[ "$fail" = 0 ]
