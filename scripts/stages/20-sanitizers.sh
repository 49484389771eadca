#!/usr/bin/env bash
# The whole native test suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSADCLINK_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --no-tests=error --output-on-failure -j "$JOBS"
