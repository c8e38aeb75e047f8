#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test
cmake --preset default
cmake --build --preset default
ctest --preset default

# Further suites (other builds of the same sources), each in a script of its own.
for suite in scripts/test-*.sh; do
  [ -e "$suite" ] || continue
  echo "== $suite"
  bash "$suite"
done
