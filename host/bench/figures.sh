#!/bin/sh
# Reproduces the diagnostics figures:
#  1. Google Benchmark: AsciiSPrint against snprintf and {fmt}'s format_to_n on
#     the four workloads (median of 5 repetitions, host build, -O2).
#  2. Stack: the deepest diagnostic path in the image as built, from the
#     frames and calls of its code, named by its map (stack_depth.py).
# usage: host/bench/figures.sh [build folder, default build/figures]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${1:-build/figures}
cd "$root"

cmake --preset host -B "$prefix" >/dev/null
cmake --build "$prefix" -j2 --target bench_print vexa_firmware_image >/dev/null
"$prefix/host/bench/bench_print" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_filter='.*' 2>/dev/null | grep -E '^(Benchmark|-|.*_median)'

python3 host/bench/stack_depth.py "$prefix/firmware-build/firmware/VexaGpioUnlockSmm.efi"
