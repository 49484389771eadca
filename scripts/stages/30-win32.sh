#!/usr/bin/env bash
# The 32-bit SADCLINK.dll cross-built with mingw-w64, and its export directory checked.
set -euo pipefail
cmake -S . -B build-w32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-w32 -j "$JOBS"
python3 tests/check_exports.py build-w32/SADCLINK.dll i686-w64-mingw32-objdump
