#!/usr/bin/env bash
# The records benchmark: builds bench_records (build/h-proof, optimised) and
# prints what queuing and committing a record cost (p50/p99/max in ms) and
# the time to export 100,000 records to CSV. Not a test: the figures depend
# on the machine, its disk and what else runs on it.
#   bash scripts/bench-records.sh [RUNS] [EXPORT_RECORDS]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build/h-proof
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_QT=OFF >/dev/null
cmake --build "$dir" -j2 --target bench_records
"$dir/bench/bench_records" "$@"
