#!/bin/sh
# Reproduces the diagnostics figures:
#  1. Google Benchmark: AsciiSPrint against snprintf and {fmt}'s format_to_n on
#     the four workloads (median of 5 repetitions, host build, -O2).
#  2. Stack: the deepest diagnostic path in the firmware build, from clang's
#     -fstack-usage frames summed along the call graph (stack_depth.py).
# usage: host/bench/figures.sh [build folder prefix, default build/figures]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${1:-build/figures}
cd "$root"

cmake --preset host -B "$prefix" >/dev/null
cmake --build "$prefix" -j2 --target bench_print >/dev/null
"$prefix/host/bench/bench_print" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_filter='.*' 2>/dev/null | grep -E '^(Benchmark|-|.*_median)'

cmake --preset firmware -B "$prefix-stack" "-DCMAKE_CXX_FLAGS=--target=x86_64-unknown-windows -fstack-usage" >/dev/null
cmake --build "$prefix-stack" -j2 >/dev/null
python3 host/bench/stack_depth.py "$prefix-stack"
