#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building, running and testing
# the project.  Packages already present are left alone; apt runs only when
# something is missing.
set -euo pipefail

packages=(
  clang lld llvm cmake make git python3
  libgtest-dev libgmock-dev libbenchmark-dev libfmt-dev
  libclang-rt-14-dev clang-tidy clang-format
  libunicorn-dev uefitool-cli
  qemu-system-x86 gdb
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "== installing ${#missing[@]} Debian packages (once; about a minute): ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
