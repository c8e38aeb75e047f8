#!/usr/bin/env bash
# The station benchmark: builds zt9047q-sim, zt9047q-flash and bench_station
# (build/h-proof, optimised) and updates 1, 4, 16 and 32 simulated units at
# once at line rate, printing the batch time against the one-unit floor, the
# tool's CPU per unit and its peak memory, with their targets. Not a test:
# the figures depend on the machine and on what else runs on it. Under each
# line: where the time went beyond the floor, unit by unit (the tool's own
# tick figures, asked for with ZT9047Q_TICK_FIGURES), and the load.
#   bash scripts/bench-station.sh [N...]
#   bash scripts/bench-station.sh --records [N...]   (the batch without and
#       with --record into an SQLite file; 32 units by default)
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/h-proof
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_QT=OFF >/dev/null
cmake --build "$dir" -j2 --target bench_station
"$dir/bench/bench_station" "$@"
