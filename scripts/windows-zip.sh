#!/usr/bin/env bash
# The Windows zip: SADCLINK.dll cross-built for 32- and 64-bit Windows, each
# with its import libraries (mingw's libSADCLINK.dll.a and MSVC's SADCLINK.lib,
# made from the .def) and the .def, beside the header, the Python package and
# the README. cpack gathers the installations of the two build folders.
#
#   bash scripts/windows-zip.sh [OUTDIR]      (default build-zip/)
set -euo pipefail
ROOT="${SADCLINK_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$ROOT"
JOBS="${JOBS:-2}"
OUT="$(mkdir -p "${1:-build-zip}" && cd "${1:-build-zip}" && pwd)"

for arch in w32:mingw-i686 w64:mingw-x86_64; do
  dir="build-${arch%%:*}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/${arch#*:}.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j "$JOBS" --target sadclink
done

cpack -G ZIP --config "$ROOT/build-w64/CPackConfig.cmake" -B "$OUT" \
  -D "CPACK_INSTALL_CMAKE_PROJECTS=$ROOT/build-w32;sadclink;ALL;/;$ROOT/build-w64;sadclink;ALL;/" \
  >/dev/null
rm -rf "$OUT/_CPack_Packages"
ls "$OUT"/sadclink-*-windows.zip
