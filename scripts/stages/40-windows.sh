#!/usr/bin/env bash
# SADCLINK.dll for real: the 32- and 64-bit DLLs and their test programs
# cross-built, their export directories and return conventions checked, and
# then, in a fresh Wine prefix, the ABI test, the protocol suite and the
# end-to-end exchange with sadc-sim through a Wine COM port.
#
# 64-bit programs must run. 32-bit ones run only where the kernel executes
# 32-bit code (Wine's 32-bit loader is a 32-bit Linux program); elsewhere the
# 32-bit DLL is checked statically only, and the stage says so.
set -euo pipefail
ROOT="${SADCLINK_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}"
cd "$ROOT"
JOBS="${JOBS:-2}"

WINE="${SADCLINK_WINE:-/usr/lib/wine/wine64}"
WINESERVER="${SADCLINK_WINESERVER:-/usr/lib/wine/wineserver}"
export WINEPREFIX="$ROOT/build-wine/prefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts in a test prefix
unset DISPLAY

step() { echo "--- $*"; }

# --- Build ------------------------------------------------------------------
for arch in w32:mingw-i686 w64:mingw-x86_64; do
  dir="build-${arch%%:*}"
  step "cross build in $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/${arch#*:}.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j "$JOBS"
done

# --- Static checks: they hold whether or not the programs can run ----------
step "export directories"
python3 tests/check_exports.py build-w32/SADCLINK.dll i686-w64-mingw32-objdump
python3 tests/check_exports.py build-w64/SADCLINK.dll x86_64-w64-mingw32-objdump
step "argument bytes removed on return"
python3 tests/check_cleanup.py build-w32/SADCLINK.dll i686-w64-mingw32-objdump
python3 tests/check_cleanup.py build-w64/SADCLINK.dll x86_64-w64-mingw32-objdump

# --- A fresh Wine prefix ----------------------------------------------------
step "fresh Wine prefix in $WINEPREFIX"
rm -rf "$WINEPREFIX"
mkdir -p "$(dirname "$WINEPREFIX")"
timeout 300 "$WINE" wineboot -i >/dev/null 2>&1
# The default prefix links com1 to /dev/ttyS0; the tests bring their own ports.
rm -f "$WINEPREFIX"/dosdevices/com*

# The serial peers this stage starts, stopped by their process ids. Wine goes
# first: a pseudo-terminal that disappears under it hangs up its server.
PEERS=()
stop_peers() {
  "$WINESERVER" -k 2>/dev/null || true
  for pid in "${PEERS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  PEERS=()
}
trap stop_peers EXIT

# Starts a peer in the background and waits for its first line (the device path).
start_peer() {
  local log=$1; shift
  "$@" >"$log" 2>&1 &
  PEERS+=($!)
  for _ in $(seq 100); do
    grep -q '/dev/' "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "the peer did not start:"; cat "$log"; return 1
}

# Every Windows program runs with a bound, so a hang fails the stage.
wrun() { local limit=$1; shift; timeout --kill-after=10 "$limit" "$WINE" "$@"; }

step "which Windows programs this machine can run"
out64=$(wrun 60 build-w64/probe.exe 2>&1 | tr -d '\r' || true)
if [ "$out64" != "runs 64-bit" ]; then
  echo "64-bit Windows programs do not run under $WINE: '$out64'"
  exit 1
fi
out32=$(wrun 60 build-w32/probe.exe 2>&1 | tr -d '\r' || true)
if [ "$out32" = "runs 32-bit" ]; then
  BITS="w64 w32"
  echo "64-bit and 32-bit programs run"
else
  BITS="w64"
  echo "32-bit programs do not run here (the kernel cannot execute Wine's 32-bit loader): the"
  echo "32-bit ABI test, protocol suite and end-to-end run are SKIPPED; the 32-bit DLL was"
  echo "checked statically above (export directory and stdcall argument bytes)."
  [ -n "$out32" ] && echo "  (the 32-bit probe said: $(echo "$out32" | head -1))"
fi

for bits in $BITS; do
  step "$bits: ABI test (SADCLINK.dll loaded by name, every export called)"
  wrun 120 "build-$bits/abi_test.exe" | tr -d '\r'
  step "$bits: protocol suite on the virtual clock"
  wrun 600 "build-$bits/tests/sadclink_tests.exe" --gtest_brief=1 | tr -d '\r'
done

# --- The Win32 port layer on a port above COM9 ------------------------------
step "Win32 port layer on COM12, an echoing pseudo-terminal"
start_peer build-wine/echo_peer.log python3 tests/win/echo_peer.py "$WINEPREFIX/dosdevices/com12"
for bits in $BITS; do
  echo "$bits:"
  wrun 60 "build-$bits/tests/win/win32_port_test.exe" COM12 COM13 | tr -d '\r'
done
stop_peers

# --- End to end: sadc-sim behind a pseudo-terminal, as COM12 ----------------
step "end to end: sadc-sim as COM12, through the Win32 serial layer"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS" --target sadc-sim
start_peer build-wine/sim.log build/sim/sadc-sim --wine-prefix "$WINEPREFIX" --com 12 --trace \
  --version 102 --signal 0=1234.5 --signal 1=-2000 --signal 2=4100 --signal 3=sine:100:0.5:-300
for bits in $BITS; do
  echo "$bits:"
  if ! wrun 120 "build-$bits/e2e_client.exe" 11 0 --version 102 \
      --expect 0=1234.5 --expect 1=-2000 --expect 2=4100 | tr -d '\r'; then
    echo "the end of sadc-sim's trace:"; tail -40 build-wine/sim.log
    exit 1
  fi
done
stop_peers
