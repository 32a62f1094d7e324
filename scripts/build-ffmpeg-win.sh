#!/usr/bin/env bash
# Cross-builds FFmpeg's libavcodec, libavutil and libswscale for Windows as
# DLLs of their own (the LGPL is then met by shipping them beside
# vntcodec.dll, with their source), with only what our codec drivers use:
# the MS-MPEG-4 coders and the pixel conversion. They import system DLLs only
# (libgcc is linked in), so the distribution needs no compiler runtime.
#
#   scripts/build-ffmpeg-win.sh i686|x86_64
#
# The source is Debian's own ffmpeg source package at the version of the
# installed libavcodec-dev (apt-get source, which needs a deb-src entry:
# scripts/setup.sh adds one), so that Windows and Linux code with the same
# coder. Results land in build-ffmpeg-win/<arch>/ (bin/*.dll, lib/*.dll.a,
# include/), outside the build folders so that removing those keeps them;
# build-ffmpeg-win/<arch>/stamp holds the version, the configure line and the
# compiler, and a second run with the same three rebuilds nothing.
# TWOPASS_FFMPEG_WIN_DIR moves the cache; TWOPASS_JOBS sets make's jobs (2).
# Exit 0 when the libraries are there, 1 when the build failed, 77 when
# something it needs is missing (with a line that says what).
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
arch=${1:-}
case $arch in
  i686) triple=i686-w64-mingw32 ffarch=x86 ;;
  x86_64) triple=x86_64-w64-mingw32 ffarch=x86_64 ;;
  *) echo "usage: $0 i686|x86_64" >&2; exit 2 ;;
esac
cache=${TWOPASS_FFMPEG_WIN_DIR:-$top/build-ffmpeg-win}
out=$cache/$arch
jobs=${TWOPASS_JOBS:-2}

say() { echo "build-ffmpeg-win: $*"; }
missing() { say "SKIP - $*"; exit 77; }
. "$top/scripts/debian_source.sh"

version=$(dpkg-query -W -f='${Version}' libavcodec-dev 2>/dev/null) || missing "libavcodec-dev is not installed"
upstream=${version#*:}
upstream=${upstream%-*}
for tool in "$triple-gcc" nasm make; do
  command -v "$tool" >/dev/null 2>&1 || missing "$tool is not installed (scripts/setup.sh installs it)"
done

# Only what the drivers use. --build-suffix keeps our DLLs from clashing with
# another program's copy of FFmpeg in the system folder.
configure=(
  --enable-cross-compile --target-os=mingw32 "--arch=$ffarch" "--cross-prefix=$triple-"
  --enable-shared --disable-static --build-suffix=-vnt
  --disable-everything
  --enable-encoder=msmpeg4v2,msmpeg4v3 --enable-decoder=msmpeg4v1,msmpeg4v2,msmpeg4v3
  --enable-swscale --disable-avformat --disable-avdevice --disable-avfilter --disable-swresample
  --disable-postproc --disable-programs --disable-doc --disable-network --disable-autodetect
  --enable-w32threads --disable-debug --extra-ldflags=-static-libgcc
)
stamp_text="ffmpeg $version
${configure[*]}
$("$triple-gcc" --version | head -n 1)"

mkdir -p "$cache"
exec 9>"$cache/$arch.lock"
flock 9 # two runs at once (the 32- and 64-bit builds, or two checks) take turns

if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp_text" ] &&
   ls "$out"/bin/avcodec-vnt-*.dll >/dev/null 2>&1; then
  say "$arch: FFmpeg $upstream up to date in $out"
  exit 0
fi

# The source, once for both architectures.
debian_source ffmpeg "$version" "$upstream" "$cache"

started=$(date +%s)
say "$arch: configuring and building FFmpeg $upstream (make -j$jobs)"
rm -rf "$out"
mkdir -p "$out/obj"
if ! (cd "$out/obj" && "$src/configure" --prefix="$out" "${configure[@]}" >configure.log 2>&1); then
  tail -n 20 "$out/obj/configure.log"
  tail -n 20 "$out/obj/ffbuild/config.log" 2>/dev/null
  say "FAIL - configure for $arch"; exit 1
fi
# configure takes a coder name it does not know without a word: make sure
# every one asked for is in.
for kind in encoder decoder; do
  for name in $(printf '%s\n' "${configure[@]}" | sed -n "s/^--enable-$kind=//p" | tr ',' ' '); do
    grep -qx "#define CONFIG_${name^^}_${kind^^} 1" "$out/obj/config_components.h" ||
      { say "FAIL - configure left out the $kind $name"; exit 1; }
  done
done
if ! (cd "$out/obj" && make -j"$jobs" >make.log 2>&1 && make install >install.log 2>&1); then
  tail -n 30 "$out/obj/make.log"
  say "FAIL - make for $arch (see $out/obj/make.log)"; exit 1
fi
# The licence the libraries are built under, and where their source is from.
cp "$src/COPYING.LGPLv2.1" "$out/"
printf '%s\n' "FFmpeg $upstream, Debian source package ffmpeg $version" \
  "(apt-get source ffmpeg=$version), configured with:" "${configure[*]}" >"$out/SOURCE.txt"
echo "$stamp_text" >"$out/stamp"
say "$arch: built in $(($(date +%s) - started)) s into $out"
