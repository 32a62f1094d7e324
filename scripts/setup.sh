#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need: only those that
# are missing, with apt-get update only when something must be installed.
# Safe to run again; quick when everything is there.
set -euo pipefail

# What the Linux build and its tests need.
required=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libavcodec-dev libavformat-dev libswscale-dev libswresample-dev libavutil-dev
  ffmpeg
  clang libclang-rt-14-dev
  time
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

# ---------------------------------------------------------------------------
# Optional: the Windows builds and their tests under Wine.
# Cross compilers (32-bit, the deliverable, and 64-bit), Wine (32-bit, and the
# 64-bit loader for machines that cannot execute 32-bit programs), a virtual
# X server for the dialog test,
# xwd + netpbm for its screenshot and a Japanese font for the dialog's texts.
# Nothing here may fail the set-up: when a piece can't be had, say so on one
# line; scripts/test.d/wine.sh then skips.
# Set TWOPASS_NO_WINDOWS=1 to leave this section out.
# ---------------------------------------------------------------------------
windows_packages=(
  g++-mingw-w64-i686 mingw-w64-i686-dev
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine32:i386 wine64
  xvfb xauth x11-apps netpbm fonts-ipafont-gothic
  nasm dpkg-dev
)

# vntcodec.dll links FFmpeg's libraries cross-built from Debian's own source
# package (scripts/build-ffmpeg-win.sh runs apt-get source): a deb-src entry
# for the same archive as the binary packages, added once in a file of ours.
src_list=/etc/apt/sources.list.d/twopass-deb-src.sources
add_ffmpeg_source() {
  [ -f "$src_list" ] && return 0
  if grep -rqs '^[[:space:]]*\(deb-src\|Types:.*deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  echo "setup: adding a deb-src entry for bookworm main (FFmpeg's source for vntcodec.dll)"
  printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
    'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' '' \
    'Types: deb-src' 'URIs: http://deb.debian.org/debian-security' 'Suites: bookworm-security' \
    'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
    as_root tee "$src_list" >/dev/null || return 1
  as_root apt-get update -qq && updated=1
}

setup_windows() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture for wine32"
    as_root dpkg --add-architecture i386 || return 1
    updated=0   # the package lists must be read again with i386 in them
  fi
  add_ffmpeg_source || echo "setup: WARNING - no deb-src entry for bookworm main; vntcodec.dll cannot be built"
  local need_win
  read -r -a need_win <<<"$(missing_of "${windows_packages[@]}")"
  [ ${#need_win[@]} -eq 0 ] && return 0
  install_packages "${need_win[@]}"
}

if [ "${TWOPASS_NO_WINDOWS:-0}" = 1 ]; then
  echo "setup: Windows build tools not checked (TWOPASS_NO_WINDOWS=1)"
elif ( set +e; setup_windows ); then
  echo "setup: Windows build tools present (mingw-w64 i686 and x86-64, wine32, wine64, xvfb, nasm, FFmpeg's source list)"
else
  echo "setup: WARNING - Windows build tools could not be installed; the Wine tests will be skipped"
fi
