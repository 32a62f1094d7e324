#!/usr/bin/env bash
# Cross-builds LAME's MP3 encoding library for Windows as a DLL of its own,
# mp3lame-vnt.dll (the LGPL is then met by shipping it beside twopass.exe and
# vnt.auo, with its source), with LAME's public entries as its exports. It
# imports system DLLs only (libgcc is linked in).
#
#   scripts/build-lame-win.sh i686|x86_64
#
# The source is Debian's own lame source package at the version of the
# installed libmp3lame-dev (apt-get source, which needs a deb-src entry:
# scripts/setup.sh adds one), so that Windows and Linux encode with the same
# LAME. Results land in build-lame-win/<arch>/ (bin/mp3lame-vnt.dll,
# lib/libmp3lame-vnt.dll.a, include/lame/lame.h), outside the build folders
# so that removing those keeps them; build-lame-win/<arch>/stamp holds the
# version, the configure line and the compiler, and a second run with the
# same three rebuilds nothing.
# TWOPASS_LAME_WIN_DIR moves the cache; TWOPASS_JOBS sets make's jobs (2).
# Exit 0 when the library is there, 1 when the build failed, 77 when
# something it needs is missing (with a line that says what).
set -uo pipefail
export LC_ALL=C # one collation for sort and comm
cd "$(dirname "$0")/.."
top=$(pwd)
arch=${1:-}
case $arch in
  i686) triple=i686-w64-mingw32 ;;
  x86_64) triple=x86_64-w64-mingw32 ;;
  *) echo "usage: $0 i686|x86_64" >&2; exit 2 ;;
esac
cache=${TWOPASS_LAME_WIN_DIR:-$top/build-lame-win}
out=$cache/$arch
jobs=${TWOPASS_JOBS:-2}
dll=mp3lame-vnt.dll

say() { echo "build-lame-win: $*"; }
missing() { say "SKIP - $*"; exit 77; }
. "$top/scripts/debian_source.sh"

version=$(dpkg-query -W -f='${Version}' libmp3lame-dev 2>/dev/null) || missing "libmp3lame-dev is not installed"
upstream=${version#*:}
upstream=${upstream%-*}
for tool in "$triple-gcc" "$triple-nm" make; do
  command -v "$tool" >/dev/null 2>&1 || missing "$tool is not installed (scripts/setup.sh installs it)"
done

# The library alone: no front end, no decoder, no analyser hooks. A static
# archive first, linked into the DLL below under our name and with only the
# entries of LAME's own symbol list. On i686 its assembly routines as Debian
# builds them (nasm); its SSE routines where configure finds <xmmintrin.h>
# usable (x86_64; the test fails on i686 without -msse), chosen at run time.
configure=(
  "--host=$triple" --enable-static --disable-shared --disable-frontend --disable-decoder
  --disable-analyzer-hooks --disable-gtktest --disable-rpath
)
[ "$arch" = i686 ] && configure+=(--enable-nasm)
stamp_text="lame $version
${configure[*]}
$dll: the whole archive, exports from include/libmp3lame.sym, -static-libgcc
$("$triple-gcc" --version | head -n 1)"

mkdir -p "$cache"
exec 9>"$cache/$arch.lock"
flock 9 # two runs at once (the 32- and 64-bit builds, or two checks) take turns

if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp_text" ] && [ -f "$out/bin/$dll" ]; then
  say "$arch: LAME $upstream up to date in $out"
  exit 0
fi

# The source, once for both architectures.
debian_source lame "$version" "$upstream" "$cache"

started=$(date +%s)
say "$arch: configuring and building LAME $upstream (make -j$jobs)"
rm -rf "$out"
mkdir -p "$out/obj" "$out/bin" "$out/lib" "$out/include/lame"
if ! (cd "$out/obj" && "$src/configure" --prefix="$out" "${configure[@]}" >configure.log 2>&1); then
  tail -n 20 "$out/obj/configure.log"
  say "FAIL - configure for $arch"; exit 1
fi
# Debian builds the SSE routines' file with -msse (its msse.patch, which
# changes Makefile.am and so needs automake): the same here, on make's line.
# The rest after it, with the flags configure chose.
flags=$(sed -n 's/^CFLAGS = //p' "$out/obj/libmp3lame/vector/Makefile")
if ! (cd "$out/obj" &&
      make -C libmp3lame/vector -j"$jobs" CFLAGS="$flags -msse" >make.log 2>&1 &&
      make -C libmp3lame -j"$jobs" >>make.log 2>&1); then
  tail -n 30 "$out/obj/make.log"
  say "FAIL - make for $arch (see $out/obj/make.log)"; exit 1
fi
archive=$out/obj/libmp3lame/.libs/libmp3lame.a
# The exports: LAME's symbol list, less what this build left out (the decoder).
prefix=
[ "$arch" = i686 ] && prefix=_ # 32-bit C names carry an underscore
"$triple-nm" -g --defined-only "$archive" | awk '$2 == "T" { print $3 }' | sed "s/^$prefix//" | sort -u >"$out/obj/defined.txt"
{ echo "LIBRARY $dll"; echo "EXPORTS"; sort -u "$src/include/libmp3lame.sym" | comm -12 - "$out/obj/defined.txt"; } >"$out/obj/mp3lame.def"
grep -qx lame_init "$out/obj/mp3lame.def" || { say "FAIL - lame_init is not among the library's symbols"; exit 1; }
if ! "$triple-gcc" -shared -o "$out/bin/$dll" "$out/obj/mp3lame.def" -Wl,--whole-archive "$archive" \
     -Wl,--no-whole-archive -Wl,--out-implib,"$out/lib/libmp3lame-vnt.dll.a" -static-libgcc -s \
     >"$out/obj/link.log" 2>&1; then
  tail -n 20 "$out/obj/link.log"
  say "FAIL - linking $dll for $arch"; exit 1
fi
cp "$src/include/lame.h" "$out/include/lame/"
# The licence the library is built under, and where its source is from.
cp "$src/COPYING" "$out/COPYING.LGPLv2"
printf '%s\n' "LAME $upstream, Debian source package lame $version" \
  "(apt-get source lame=$version), configured with:" "${configure[*]}" \
  >"$out/SOURCE.txt"
grep -q "^WITH_XMM_TRUE=''" "$out/obj/config.log" &&
  echo "the SSE routines (libmp3lame/vector) compiled with -msse, as Debian's msse.patch asks" >>"$out/SOURCE.txt"
echo "$stamp_text" >"$out/stamp"
say "$arch: built in $(($(date +%s) - started)) s into $out"
