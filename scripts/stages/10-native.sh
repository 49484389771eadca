#!/usr/bin/env bash
# Native build (g++, warnings as errors) and the protocol tests on the virtual clock.
set -euo pipefail
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"
ctest --test-dir build --no-tests=error --output-on-failure -j "$JOBS"
