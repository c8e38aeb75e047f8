#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test
# Debian's tools first: a python3 from pyenv or a convert in /usr/local must
# not stand in for what a fresh machine has. Then every tool the suites call
# must come from a package that setup.sh installs.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
bash scripts/check-tools.sh
# Every build below (and the packages' build) compiles through ccache: a run
# recompiles only what changed since the last one on this machine, wherever
# the clone lies (paths taken relative to it, the build folder not hashed).
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
start=$SECONDS
cmake --preset default
cmake --build --preset default
ctest --preset default
echo "== build and ctest: $((SECONDS - start)) s"

# Further suites (other builds of the same sources), each in a script of its own.
for suite in scripts/test-*.sh; do
  [ -e "$suite" ] || continue
  echo "== $suite"
  start=$SECONDS
  bash "$suite"
  echo "== $suite: $((SECONDS - start)) s"
done
