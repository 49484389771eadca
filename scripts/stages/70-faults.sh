#!/usr/bin/env bash
# Faults end to end and a soak, in real time over a pseudo-terminal with the
# virtual instrument: the fault table (build/fault_table.md) and
# SOAK_SECONDS (default 120) of scanning at the shortest interval at 9600
# baud. An hour: SOAK_SECONDS=3600 bash scripts/stages/70-faults.sh
set -euo pipefail
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS" --target sadclink_faults
build/tests/faults/sadclink_faults table >build/fault_table.md
cat build/fault_table.md
build/tests/faults/sadclink_faults soak "${SOAK_SECONDS:-120}"
