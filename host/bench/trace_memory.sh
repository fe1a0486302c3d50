#!/usr/bin/env bash
# Peak memory of the main job's traced runs, on the simulated platform and on
# QEMU: a figure, not a test.  The listing streams to a temporary file and
# QEMU's log through a FIFO, so the peak should not grow with the attempts.
#
#   host/bench/trace_memory.sh [TOOL] [COUNTS...]
#
# TOOL defaults to this build's vexa-platform; COUNTS to 1000 100000.  Each
# line: platform, attempts, with or without --trace, peak resident set (KiB,
# GNU time's %M, the tool and QEMU each counted alone: the larger shown),
# wall seconds.
set -euo pipefail
cd "$(dirname "$0")/../.."
tool=${1:-build/host/host/tools/platform/vexa-platform}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 100000)
[ -x "$tool" ] || { echo "trace_memory.sh: no tool at $tool (build it: cmake --build --preset host --target vexa-platform)" >&2; exit 2; }

figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
printf '%-10s %9s %-8s %12s %8s\n' platform attempts trace peak-KiB seconds
for platform in sim qemu; do
  extra=()
  [ "$platform" = qemu ] && extra=(--qemu)
  for n in "${counts[@]}"; do
    for trace in no yes; do
      flags=("${extra[@]}" --attempts "$n")
      [ "$trace" = yes ] && flags+=(--trace)
      /usr/bin/time -o "$figures" -f '%M %e' "$tool" "${flags[@]}" >/dev/null 2>&1 || true
      read -r peak seconds <"$figures"
      printf '%-10s %9s %-8s %12s %8s\n' "$platform" "$n" "$trace" "$peak" "$seconds"
    done
  done
done
