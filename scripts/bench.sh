#!/usr/bin/env bash
# The update benchmark: builds zt9047q-sim, zt9047q-flash and bench_update
# (build/h-proof, optimised) and runs one whole update over a pseudo
# terminal with the line rate emulated, printing its figures and targets.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/h-proof
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_QT=OFF >/dev/null
cmake --build "$dir" -j2 --target bench_update
"$dir/bench/bench_update"
