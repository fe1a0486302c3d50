#!/usr/bin/env bash
# Configures and builds a preset, showing only what is being compiled and
# linked: a first build shows its progress, a build with nothing to do prints
# nothing.  On a failure the whole log is shown.
#   scripts/build-quietly.sh PRESET [TARGET...]   (default: everything)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
shift
targets=()
for t in "$@"; do targets+=(--target "$t"); done
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if [ ! -f "build/$preset/CMakeCache.txt" ]; then
  echo "== first build (${*:-everything}); later runs rebuild only what changed"
fi
if ! cmake --preset "$preset" >"$log" 2>&1; then
  cat "$log" >&2
  exit 3
fi
set +e
cmake --build --preset "$preset" ${targets[@]+"${targets[@]}"} -j"$(nproc)" 2>&1 | tee "$log" |
  grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)' | sed -u 's/^/   /'
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  echo "== the build failed:" >&2
  cat "$log" >&2
  exit 3
fi
