#!/usr/bin/env bash
# The network port benchmark: one unit and 8 units updated through
# rfc2217:// to simulated units (--line-rate) behind Debian's ser2net on
# loopback, against the same through local pseudo terminals, in one run (3
# rounds taking turns, the best of each kind; --rounds N for another count);
# prints both batch times and their ratio (target <= 1.03). Not a test: the
# figures depend on the machine and on what else runs on it.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/h-proof
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_QT=OFF >/dev/null
cmake --build "$dir" -j2 --target bench_net

sim_bin=$PWD/$dir/zt9047q-sim
work=$(mktemp -d)
. tests/net/ser2net.sh
trap 'stop_all; rm -rf "$work"' EXIT

specs=()
for i in $(seq 0 8); do
  start_sim "u$i" --firmware 2.10 --line-rate
  specs+=("rfc2217 ${sim_pty[u$i]}")
done
start_ser2net bench "${specs[@]}"
urls=()
for p in ${ser2net_ports[bench]}; do urls+=("rfc2217://127.0.0.1:$p"); done
"$dir/bench/bench_net" "$@" --one "${urls[0]}" --eight "${urls[@]:1}"
