#!/usr/bin/env bash
# The README's attack table: every named attack against the configured board's
# image and the q35 board's, on the simulator and on QEMU, as the main job
# judges them (one run per board and platform, all five attacks).
#   host/bench/attack_table.sh [BUILD_DIR] [ATTEMPTS]   (default build/host, 10)
set -euo pipefail
build=${1:-build/host}
attempts=${2:-10}
tool=$build/host/tools/platform/vexa-platform
configured=$build/firmware-build/firmware/VexaGpioUnlockSmm.efi
q35=$build/boards/qemu-q35/firmware-build/firmware/VexaGpioUnlockSmm.efi
attacks=clear,move-window,fake-window,window-above-4g,window-off

declare -A verdict
for board in configured q35; do
  image=$configured
  [ "$board" = q35 ] && image=$q35
  for platform in simulator qemu; do
    flag=""
    [ "$platform" = qemu ] && flag=--qemu
    summary=$("$tool" $flag --attempts "$attempts" --attack "$attacks" --image "$image" | grep '^summary:' || true)
    for a in ${attacks//,/ }; do
      if [[ "$summary" == *" $a defended"* ]]; then
        verdict[$a,$board,$platform]=defended
      elif [[ "$summary" == *" $a not defended"* ]]; then
        verdict[$a,$board,$platform]="**lost**"
      else
        verdict[$a,$board,$platform]="(no verdict)"
      fi
    done
  done
done

echo "| Attack | configured board, simulator | configured board, QEMU | q35 board, simulator | q35 board, QEMU |"
echo "|---|---|---|---|---|"
for a in ${attacks//,/ }; do
  echo "| \`$a\` | ${verdict[$a,configured,simulator]} | ${verdict[$a,configured,qemu]} | ${verdict[$a,q35,simulator]} | ${verdict[$a,q35,qemu]} |"
done
