#!/usr/bin/env bash
# Builds everything and runs every test: first the host suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the full suite
# (module, simulator, image, harness, firmware file, fuzzer, clang-tidy),
# whose CTest summary is the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

echo "== sanitizer build and tests"
cmake --preset host-sanitize >/dev/null
cmake --build --preset host-sanitize -j"$jobs"
ctest --preset host-sanitize -j"$jobs" -LE "no-sanitize|fuzz|qemu"

echo "== full build and tests"
cmake --preset host >/dev/null
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"
