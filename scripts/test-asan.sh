#!/usr/bin/env bash
# The unit and fault suites again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (preset asan, build/asan). Any report fails the
# run. The window suites are not part of this build.
set -euo pipefail
cd "$(dirname "$0")/.."

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake --preset asan >/dev/null
cmake --build --preset asan
# Suites that drive Wine or a display are left to their own scripts.
ctest --preset asan -E '(Wine|Win32|Qt|Gui|Xvfb)'
