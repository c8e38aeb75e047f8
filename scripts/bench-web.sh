#!/usr/bin/env bash
# The station page under load: builds zt9047q-sim, zt9047q-flash and
# bench_web (build/h-proof, optimised) and updates 32 simulated units at
# line rate without the page, with 20 clients reading /events, and with one
# more client that never reads; prints the batch ratio, the slowest unit
# and the peak memory, with their targets. Not a test: the figures depend on
# the machine and on what else runs on it.
#   bash scripts/bench-web.sh [ROUNDS] [UNITS]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/h-proof
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_QT=OFF >/dev/null
cmake --build "$dir" -j2 --target bench_web
"$dir/bench/bench_web" "$@"
