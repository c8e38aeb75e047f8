#!/usr/bin/env bash
# The release inputs: the packaged image and its version are refused when
# they are bad (one configure per fault), and a build with another image and
# another version (97 frames, 2.31) carries them through: zt9047q-flash
# delivers that image byte for byte to the simulator built from the same
# inputs, and every text says 2.31.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-release: $*" >&2; exit 1; }

c++ -O2 -o "$work/make_image" tools/make_image.cpp
"$work/make_image" 97 >"$work/fw231.hex"

echo "== refusals of bad release inputs"
# refuse NAME MESSAGE -D...: configure must fail and say MESSAGE.
passed=0 failed=0
refuse() {
  local name=$1 message=$2; shift 2
  if cmake -S . -B "$work/bad-$name" -G Ninja -DZT_BUILD_TESTS=OFF -DZT_BUILD_QT=OFF "$@" \
       >"$work/bad-$name.log" 2>&1; then
    echo "FAIL $name: configure accepted it"; failed=$((failed + 1)); return
  fi
  # CMake wraps its messages: compare with the lines joined.
  if ! tr -s ' \n' '  ' <"$work/bad-$name.log" | grep -qF -- "$message"; then
    echo "FAIL $name: no \"$message\" in:"; tail -5 "$work/bad-$name.log"; failed=$((failed + 1)); return
  fi
  echo "ok   $name: $message"; passed=$((passed + 1))
}
hex="$work/fw231.hex"
printf '' >"$work/empty.hex"
{ head -c 100 "$hex"; printf 'G'; tail -c +102 "$hex"; } >"$work/nothex.hex"
printf '0' | cat "$hex" - >"$work/odd.hex"
head -c $(( $(stat -c %s "$hex") - 2 )) "$hex" >"$work/short.hex"
head -c 1048580 /dev/zero | tr '\0' 0 >"$work/large.hex"
refuse empty     "$work/empty.hex: empty"                      -DZT_FIRMWARE_HEX="$work/empty.hex"
refuse not-hex   "$work/nothex.hex: not hex text"              -DZT_FIRMWARE_HEX="$work/nothex.hex"
refuse odd       "$work/odd.hex: odd length"                   -DZT_FIRMWARE_HEX="$work/odd.hex"
refuse untiled   "$work/short.hex: frames do not tile"         -DZT_FIRMWARE_HEX="$work/short.hex"
refuse too-large "larger than the 524288-byte image buffer"    -DZT_FIRMWARE_HEX="$work/large.hex"
refuse missing   "$work/none.hex: no such file"                -DZT_FIRMWARE_HEX="$work/none.hex"
refuse one-decimal "\"2.3\": not a number with two decimals"   -DZT_FIRMWARE_VERSION=2.3
refuse not-number  "\"v2.30\": not a number with two decimals" -DZT_FIRMWARE_VERSION=v2.30
refuse minimum     "\"2.00\": not above 2.00"                  -DZT_FIRMWARE_VERSION=2.00

echo "== a build with 97 frames and version 2.31"
build=build/release-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZT_BUILD_TESTS=OFF -DZT_BUILD_QT=OFF \
  -DZT_FIRMWARE_HEX="$hex" -DZT_FIRMWARE_VERSION=2.31 >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the 2.31 build did not configure"; }
grep -F "Packaged firmware 2.31" "$work/configure.log"
cmake --build "$build" -j2 --target zt9047q-flash zt9047q-sim >"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log"; fail "the 2.31 build failed"; }

check() { # check NAME CONDITION...: count one case
  local name=$1; shift
  if "$@"; then echo "ok   $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
}
check "zt9047q-flash --version says 2.31" grep -q '2\.31' <("$build/zt9047q-flash" --version)
check "zt9047q-sim --version says 2.31" grep -q '2\.31' <("$build/zt9047q-sim" --version)
check "zt9047q-sim --help: an updated unit restarts reporting 2.31" grep -q 'reporting 2\.31' <("$build/zt9047q-sim" --help)

# update FIRMWARE: one whole update of a simulated unit at FIRMWARE; sets
# status, and leaves the unit's side in sim.err and received.bin.
update() {
  rm -f "$work/sim.out" "$work/received.bin"
  "$build/zt9047q-sim" --firmware "$1" --save "$work/received.bin" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
  pty=$(awk '{print $1; exit}' "$work/sim.out")
  [ -n "$pty" ] || fail "the simulator did not start: $(cat "$work/sim.err")"
  status=0
  "$build/zt9047q-flash" --port "$pty" >"$work/flash.out" 2>"$work/flash.err" </dev/null || status=$?
  kill -INT "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
}
# A unit at 2.25 is older than the packaged 2.31: updated without a question.
update 2.25
check "a unit at 2.25 is updated without a downgrade question" [ "$status" -eq 0 ]
update 2.10
check "the update completed" [ "$status" -eq 0 ]
check "the end message says 2.31" grep -qF "ZT9047Q firmware updated to version 2.31" "$work/flash.err"
received_hex=$(od -An -v -tx1 "$work/received.bin" | tr -d ' \n' | tr a-f A-F)
check "the unit received the 97-frame image byte for byte" [ "$received_hex" = "$(cat "$hex")" ]
check "the simulator knows it as its packaged image" grep -qF "the packaged image, byte for byte" "$work/sim.err"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
