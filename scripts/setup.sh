#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need: only those that
# are missing, with apt-get update only when something must be installed.
# Safe to run again; quick when everything is there.
set -euo pipefail

# What the Linux build and its tests need.
required=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  ffmpeg
  clang libclang-rt-14-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_of() {
  local p out=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      out+=("$p")
    fi
  done
  echo "${out[@]:-}"
}

updated=0
install_packages() {
  [ $# -gt 0 ] || return 0
  echo "setup: installing $*"
  if [ $updated -eq 0 ]; then
    as_root apt-get update -qq
    updated=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

read -r -a need <<<"$(missing_of "${required[@]}")"
install_packages "${need[@]}"

echo "setup: all required packages present"
