#!/usr/bin/env bash
# The main job: boots the module on the simulated platform, lets an attacker
# clear the GPIO lock again and again, and shows the console and a summary.
# Options are passed on; see --help.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build-quietly.sh host vexa-platform
exec build/host/host/tools/platform/vexa-platform "$@"
