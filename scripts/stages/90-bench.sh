#!/usr/bin/env bash
# The benchmarks in their short run over a pseudo-terminal: they must build and
# every exchange must succeed; the figures are printed, not judged.
set -euo pipefail
bash bench/run.sh --short
