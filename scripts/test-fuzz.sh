#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on, the core
# instrumented too) in build/fuzz and runs each for a short while from the
# seeds in fuzz/corpus. Any crash, leak, sanitizer report or broken
# invariant fails the script; the input that did it is left in build/fuzz.
#   FUZZ_SECONDS=600 bash scripts/test-fuzz.sh    a longer run
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-5}
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzzing skipped"
  exit 0
fi

dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DZT_BUILD_QT=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
targets="fuzz_reply_line fuzz_version fuzz_image fuzz_port_name fuzz_handshake"
# shellcheck disable=SC2086
cmake --build "$dir" -j2 --target $targets

status=0
for t in $targets; do
  corpus="$dir/corpus/$t"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  log="$dir/$t.log"
  if (cd "$dir" && "./fuzz/$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
        -print_final_stats=1 "corpus/$t") >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$t: ${runs:-?} executions in ${seconds} s, no findings"
  else
    echo "$t: FAILED (see $log)"
    grep -E "ERROR|SUMMARY|abort|held" "$log" | head -5 || true
    status=1
  fi
done
exit $status
