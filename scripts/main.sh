#!/usr/bin/env bash
# Sets up the machine, builds, and runs a whole firmware update against the
# instrument simulator: a unit at firmware 2.10 on a pseudo terminal, updated
# by zt9047q-flash from the wake-up to the completion message. Installs and
# builds only what that needs (preset cli: no tests, no window).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh main
cmake --preset cli
cmake --build --preset cli

bin=build/cli
work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT

"$bin/zt9047q-sim" --firmware 2.10 --save "$work/received.bin" > "$work/sim.out" &
sim=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
read -r pty com < "$work/sim.out"
echo "Simulated ZT9047Q (firmware 2.10) on $pty ($com)"

start=$(date +%s%N)
status=0
"$bin/zt9047q-flash" --port "$com" || status=$?
end=$(date +%s%N)

kill "$sim"; wait "$sim" 2>/dev/null || true
ms=$(( (end - start) / 1000000 ))
printf 'zt9047q-flash exited with %d after %d.%03d s\n' "$status" $((ms / 1000)) $((ms % 1000))
exit "$status"
