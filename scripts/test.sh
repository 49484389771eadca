#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the stages
# in scripts/stages, in the order of their names. Prints one summary line.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || { echo "installing the dependencies failed"; exit 1; }

export SADCLINK_ROOT="$PWD"
export JOBS="${JOBS:-$(nproc)}"
passed=0; failed=0; failures=()
for stage in scripts/stages/*.sh; do
  name=$(basename "$stage" .sh)
  echo "=== $name"
  start=$(date +%s)
  if bash "$stage"; then
    passed=$((passed + 1)); echo "=== $name: passed in $(( $(date +%s) - start )) s"
  else
    failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED after $(( $(date +%s) - start )) s"
  fi
done
[ $failed -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
