#!/usr/bin/env bash
# Builds what the checks under Wine (scripts/test.d/wine.sh) run with:
#
#   scripts/build-windows.sh [32|64]     (default: TWOPASS_WINE_BITS, else 32)
#
# - FFmpeg's libraries for vntcodec.dll (scripts/build-ffmpeg-win.sh, kept in
#   build-ffmpeg-win/ or TWOPASS_FFMPEG_WIN_DIR): for i686, and for x86_64 too
#   with 64. Where they cannot be built a line says so and the trees are built
#   without vntcodec.dll, as CMake then leaves it out; the checks of our codec
#   fail saying so, the others still run;
# - LAME's library for the engine's MP3 encoder (scripts/build-lame-win.sh,
#   kept in build-lame-win/ or TWOPASS_LAME_WIN_DIR), for the same
#   architectures: its DLL ships beside twopass.exe and vnt.auo, which load
#   it for MP3 and take its header. Where it cannot be built, this script
#   stops (77 when a tool or the source is missing, 1 when its build failed);
# - build-win32 always, with the test programs of the checks: the deliverable,
#   whose 32-bit record layouts are checked as it compiles;
# - with 64, build-win64 as well: the same programs for a machine that cannot
#   execute 32-bit ones;
# - the Linux twopass, vnt-host and vnt.auo the checks compare with, in
#   TWOPASS_LINUX_BUILD (build/), brought up to date (scripts/test.sh has
#   built them already; a tree of its own is configured without tests).
# TWOPASS_JOBS sets the jobs (2). Exit 0 when the programs are built, 1 when a
# build failed, 77 when a tool is missing (with a line that says which).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
top=$(pwd)
bits=${1:-${TWOPASS_WINE_BITS:-32}}
jobs=${TWOPASS_JOBS:-2}
linux_build=${TWOPASS_LINUX_BUILD:-$top/build}

say() { echo "build-windows.sh: $*"; }
case $bits in
  32) arches=(i686) ;;
  64) arches=(i686 x86_64) ;;
  *) echo "usage: $0 [32|64]" >&2; exit 1 ;;
esac
for tool in cmake ninja; do
  command -v "$tool" >/dev/null 2>&1 || { say "SKIP - $tool is not installed"; exit 77; }
done
for arch in "${arches[@]}"; do
  for tool in "$arch-w64-mingw32-g++" "$arch-w64-mingw32-windres"; do
    command -v "$tool" >/dev/null 2>&1 ||
      { say "SKIP - $tool is not installed (scripts/setup.sh installs the Windows tools)"; exit 77; }
  done
done

# FFmpeg is cross-built once from Debian's source; a second run finds it.
for arch in "${arches[@]}"; do
  started=$(date +%s)
  if "$top/scripts/build-ffmpeg-win.sh" "$arch"; then
    say "FFmpeg for $arch ready in $(($(date +%s) - started)) s"
  else
    say "FFmpeg for $arch was not built: no vntcodec.dll for it"
  fi
done

# LAME likewise, once; the engine takes its header and loads its DLL.
for arch in "${arches[@]}"; do
  started=$(date +%s)
  "$top/scripts/build-lame-win.sh" "$arch"
  rc=$?
  [ $rc -eq 77 ] && { say "SKIP - LAME for $arch can't be built (above)"; exit 77; }
  [ $rc -eq 0 ] || { say "FAIL - building LAME for $arch"; exit 1; }
  say "LAME for $arch ready in $(($(date +%s) - started)) s"
done

for arch in "${arches[@]}"; do
  [ "$arch" = i686 ] && b=32 || b=64
  dir=$top/build-win$b
  say "building build-win$b"
  if ! cmake -S "$top" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$top/scripts/toolchain-$arch-w64-mingw32.cmake" \
      -DTWOPASS_FFMPEG_WIN="${TWOPASS_FFMPEG_WIN_DIR:-$top/build-ffmpeg-win}/$arch" \
      -DTWOPASS_LAME_WIN="${TWOPASS_LAME_WIN_DIR:-$top/build-lame-win}/$arch" \
      -DCMAKE_BUILD_TYPE=Release -DTWOPASS_TESTS=OFF -DTWOPASS_BENCH=OFF -DTWOPASS_WIN32_TESTS=ON >/dev/null; then
    say "FAIL - configuring the $b-bit Windows build"; exit 1
  fi
  if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
    tail -n 40 "$dir/build.log"
    say "FAIL - building the $b-bit Windows programs (see $dir/build.log)"; exit 1
  fi
done

# The Linux programs are brought up to date even where they exist (nothing
# to do when they are): the checks want their frames byte for byte, and
# programs of an older source would differ.
missing=()
for file in twopass vnt-host vnt.auo; do
  [ -e "$linux_build/$file" ] || missing+=("$file")
done
[ ${#missing[@]} -eq 0 ] || say "building the Linux ${missing[*]} in $linux_build for comparison"
if [ ! -f "$linux_build/CMakeCache.txt" ] &&
   ! cmake -S "$top" -B "$linux_build" -G Ninja -DTWOPASS_TESTS=OFF -DTWOPASS_BENCH=OFF >/dev/null; then
  say "FAIL - configuring the Linux build in $linux_build"; exit 1
fi
if ! log=$(cmake --build "$linux_build" -j "$jobs" --target twopass vnt-host vnt_auo 2>&1); then
  tail -n 40 <<<"$log"
  say "FAIL - building the Linux programs in $linux_build"; exit 1
fi
exit 0
