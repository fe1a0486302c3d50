#!/usr/bin/env bash
# The main job: boots the module on the simulated platform, lets an attacker
# clear the GPIO lock again and again, and shows the console and a summary.
# Options are passed on; see --help.  One more is handled here:
#   --board FILE   build the image for the board described in FILE (its own
#                  firmware build, under build/boards/) and run that image,
#                  on a platform laid out as the board is.
set -euo pipefail
cd "$(dirname "$0")/.."

args=()
board=""
while (($#)); do
  if [ "$1" = "--board" ]; then
    if [ $# -lt 2 ] || [ -z "$2" ]; then
      echo "run.sh: --board needs a board settings file (see boards/default.board)" >&2
      exit 2
    fi
    board=$2
    shift 2
  else
    args+=("$1")
    shift
  fi
done

if [ -n "$board" ]; then
  if [ -d "$board" ]; then
    echo "run.sh: '$board' is a folder, not a board settings file (see boards/default.board)" >&2
    exit 3
  elif [ ! -f "$board" ]; then
    echo "run.sh: no board settings file '$board'" >&2
    exit 3
  fi
fi

scripts/install-deps.sh
if [ -n "$board" ]; then
  # The board check first: a bad file stops here, before anything is built.
  if ! check=$(cmake -DBOARD="$board" -P cmake/CheckBoard.cmake 2>&1); then
    echo "$check" | sed -n "/board settings/,/^Call Stack/p" | grep -v "^Call Stack" >&2
    exit 3
  fi
fi
scripts/build-quietly.sh host vexa-platform
if [ -n "$board" ]; then
  # The board's own firmware tree, configured by the firmware preset (which
  # holds the build's settings), under build/boards/ by the file's name.
  name=$(basename "$board")
  name=${name%.*}
  dir=build/boards/$name
  mkdir -p build/boards
  if ! cmake --preset firmware -B "$dir" -DVEXA_BOARD="$(realpath "$board")" >"$dir.log" 2>&1 ||
     ! cmake --build "$dir" -j"$(nproc)" >>"$dir.log" 2>&1; then
    cat "$dir.log" >&2
    exit 3
  fi
  args+=(--image "$dir/firmware/VexaGpioUnlockSmm.efi")
fi
exec build/host/host/tools/platform/vexa-platform ${args[@]+"${args[@]}"}
