#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them against the library and the
# spinning baseline, one after the other, then prints the Markdown table.
#   bench/run.sh            the full run (about four minutes)
#   bench/run.sh --short    a few seconds each, for CI; no goal is asserted
# Exits non-zero only when the build fails or an exchange fails outright.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=()
if [ "${1:-}" = "--short" ]; then mode=(--short); fi
build="${BENCH_BUILD_DIR:-build-bench}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSADCLINK_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target sadclink_bench sadclink_bench_spin

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
status=0
if [ ${#mode[@]} -gt 0 ]; then
  "$build/bench/sadclink_bench" --short >"$out/sleeping.tsv" || status=$?
  "$build/bench/sadclink_bench_spin" --short >"$out/spinning.tsv" || status=$?
else
  # Section by section, the library and then the baseline, so that both meet
  # much the same load from the rest of the machine.
  for section in idle latency latencyslice signon slowscan sustained; do
    "$build/bench/sadclink_bench" --only "$section" >>"$out/sleeping.tsv" || status=$?
    "$build/bench/sadclink_bench_spin" --only "$section" >>"$out/spinning.tsv" || status=$?
  done
fi
python3 bench/table.py "$out/sleeping.tsv" "$out/spinning.tsv"
exit "$status"
