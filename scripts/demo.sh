#!/usr/bin/env bash
# Installs what is missing, builds sadc, and records a demo scan of four
# channels from the built-in virtual instrument: out/demo.csv and out/demo.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target sadc sadc-sim
mkdir -p out
# Four inputs on the virtual instrument: three sines and a constant, in the
# unit of the 5000 full scale.
./build/tools/sadc scan --channels 0-3 --rate 1000 --interval 0.15 --duration 6 \
  --sim-signal 0=sine:1500:0.5:2500 --sim-signal 1=sine:800:0.25:1500 \
  --sim-signal 2=1200 --sim-signal 3=sine:400:0.8:4000 \
  --output out/demo.csv --plot out/demo.svg
echo
echo "CSV:  $PWD/out/demo.csv"
echo "plot: $PWD/out/demo.svg"
echo "next: ./build/tools/sadc --help, and docs/cli.md for a real instrument"
