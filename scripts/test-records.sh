#!/usr/bin/env bash
# The records room against a real PostgreSQL server (Debian's postgresql
# 15): a private data folder and socket folder, no TCP, started as an
# unprivileged user (postgres when run as root), stopped at the end. The
# tests stop and start it themselves through ZT_PG_CTL.
set -euo pipefail
cd "$(dirname "$0")/.."

pgbin=/usr/lib/postgresql/15/bin
cmake --preset default >/dev/null
cmake --build build/default -j2 --target records_tests zt9047q-flash zt9047q-forward zt9047q-sim

tmp=$(mktemp -d)
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  run_as=(runuser -u postgres --)
  chown postgres: "$tmp"
fi
data=$tmp/data
sock=$tmp/sock
"${run_as[@]}" mkdir "$sock"
ctl="${run_as[*]} $pgbin/pg_ctl -D $data -l $tmp/server.log"
cleanup() {
  $ctl stop -m immediate -w >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

"${run_as[@]}" "$pgbin/initdb" -D "$data" -A trust -U zt -E UTF8 --no-sync >/dev/null
cat >>"$data/postgresql.conf" <<CONF
listen_addresses = ''
unix_socket_directories = '$sock'
fsync = off
CONF
$ctl start -w >/dev/null
"$pgbin/createdb" -h "$sock" -U zt zt_records

export ZT_PG_URL="postgresql:///zt_records?host=$sock&user=zt"
export ZT_PG_CTL="$ctl"
if ! build/default/tests/records/records_tests --gtest_filter="${ZT_RECORDS_FILTER:-RecordsServer*}"; then
  echo "test-records: failed; the server's log:" >&2
  tail -n 30 "$tmp/server.log" >&2 || true
  exit 1
fi
