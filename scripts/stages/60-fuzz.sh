#!/usr/bin/env bash
# The libFuzzer targets, built with clang-14 in a build directory of their
# own, each run for a bounded time from its seed corpus. Any crash, sanitizer
# report or broken invariant fails the stage; its input is left in
# build-fuzz/crashes/. FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
seconds="${FUZZ_SECONDS:-60}"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSADCLINK_FUZZ=ON -DSADCLINK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$JOBS" --target fuzz_exports fuzz_compute
mkdir -p build-fuzz/crashes
for target in fuzz_exports fuzz_compute; do
  # Work on a copy of the seeds: what the run finds stays out of the repository.
  work="build-fuzz/corpus/$target"
  mkdir -p "$work"
  cp -n fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  echo "--- $target for $seconds s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$target" "$work" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$target-" 2>"build-fuzz/$target.log" \
    || { tail -60 "build-fuzz/$target.log"; echo "$target: FAILED"; exit 1; }
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov: ' "build-fuzz/$target.log" | tail -3
done
