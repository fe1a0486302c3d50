#!/bin/sh
# The main job's cost per attempt, an older commit against this tree, side by
# side in one run: both are built (the older one from `git archive` into its
# own folder, the shared compiler cache makes that quick), then run in turns,
# older first, each pair back to back so both see the same machine load.
# Reports CPU time (user + system, from the kernel's accounting, so a busy
# machine slows the wall clock but not this) and peak resident memory.
# usage: host/bench/mainjob_pair.sh [BASE_COMMIT, default 5037edf] [ATTEMPTS, default 1000000] [PAIRS, default 3]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
base=${1:-5037edf}
attempts=${2:-1000000}
pairs=${3:-3}
work=${VEXA_PAIR_DIR:-$root/build/pair}
cd "$root"

mkdir -p "$work"
if [ ! -x "$work/base/build/host/host/tools/platform/vexa-platform" ] || [ "$(cat "$work/base.rev" 2>/dev/null)" != "$base" ]; then
  rm -rf "$work/base"
  mkdir -p "$work/base"
  git archive "$base" | tar -x -C "$work/base"
  (cd "$work/base" && cmake --preset host >/dev/null && cmake --build --preset host -j2 --target vexa-platform >/dev/null)
  echo "$base" >"$work/base.rev"
fi
cmake --preset host >/dev/null
cmake --build --preset host -j2 --target vexa-platform >/dev/null

one() { # label tool: prints "label cpu-seconds peak-KB"
  /usr/bin/time -f "$1 %U %S %M" "$2" --attempts "$attempts" 2>&1 >/dev/null | tail -1 |
    awk '{ printf "%s %.3f %d\n", $1, $2 + $3, $4 }'
}
echo "attempts $attempts, $pairs pairs: $base against $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . || echo '+changes')"
i=0
while [ "$i" -lt "$pairs" ]; do
  one base "$work/base/build/host/host/tools/platform/vexa-platform"
  one this build/host/host/tools/platform/vexa-platform
  i=$((i + 1))
done | awk -v n="$attempts" '
  { cpu[$1] += $2; runs[$1]++; if ($3 > peak[$1]) peak[$1] = $3
    printf "  %-4s %7.3f s CPU  %6.3f us/attempt  peak %6.1f MB\n", $1, $2, $2 * 1e6 / n, $3 / 1024 }
  END { b = cpu["base"] / runs["base"]; t = cpu["this"] / runs["this"]
        printf "mean CPU per attempt: base %.3f us, this %.3f us: %.2fx less; peak base %.1f MB, this %.1f MB\n",
               b * 1e6 / n, t * 1e6 / n, b / t, peak["base"] / 1024, peak["this"] / 1024 }'
