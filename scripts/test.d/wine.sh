#!/usr/bin/env bash
# The Windows builds and their checks under Wine.
# Builds build-win32 (twopass.exe, vnt.auo, vnt-host.exe, the test codec,
# reader plug-in and helper programs): the deliverable, whose 32-bit record
# layouts are checked as it compiles. Where this machine can execute 32-bit
# programs (wine --version works) the checks run with that build under wine;
# where it cannot, the same programs are built 64-bit in build-win64 and the
# checks run with them under the 64-bit loader, /usr/lib/wine/wine64, called
# directly (Debian's wine wrapper always picks the 32-bit loader when it is
# installed). TWOPASS_WINE_BITS=32 or 64 asks for one of the two.
# Makes one throwaway Wine prefix for the run, installs the test codec for
# MP42 there, and runs each check in it. Each check sets up and removes its
# own registry entries and files, so none depends on another.
# WINE_KEEP=1 leaves the run's folder (prefix, clips, outputs) for a look
# at a failure. Exit 0 when every check passed, 1 when one failed, 77 when
# no Wine starts or tools are missing (with a line that says which).
# Arguments name the checks to run (default: all of them).
set -uo pipefail
cd "$(dirname "$0")/../.."
top=$(pwd)
jobs=${TWOPASS_JOBS:-2}
linux_build=${TWOPASS_LINUX_BUILD:-$top/build}
tests=$top/tests/win32
wine64_loader=/usr/lib/wine/wine64

skip() { echo "wine.sh: SKIP - $*"; exit 77; }

for tool in cmake ninja python3; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

# Which build the checks run with, and under which loader.
wants=${TWOPASS_WINE_BITS:-}
if [ "$wants" != 64 ] && command -v wine >/dev/null 2>&1 && wine --version >/dev/null 2>&1; then
  bits=32
  why="this machine executes 32-bit programs"
elif [ "$wants" != 32 ] && [ -x "$wine64_loader" ] && "$wine64_loader" --version >/dev/null 2>&1; then
  bits=64
  if [ "$wants" = 64 ]; then why="TWOPASS_WINE_BITS=64"
  else why="this machine cannot execute 32-bit programs (wine --version fails)"; fi
else
  case $wants in
    32) skip "wine (32-bit) does not start" ;;
    64) skip "$wine64_loader does not start" ;;
    *) skip "neither wine (32-bit) nor $wine64_loader starts (scripts/setup.sh installs them)" ;;
  esac
fi

if [ $bits = 32 ]; then
  triple=i686-w64-mingw32
  WINE=wine
  wineserver=wineserver
  export WINEARCH=win32
  # Record sizes the test codec and reader plug-in see: ICCOMPRESSFRAMES,
  # the reader's read request and its function table (32-bit layouts).
  size_frames_info=64 size_vf_read=20 size_vf_table=24
  pe_magic='PE32)'
else
  triple=x86_64-w64-mingw32
  WINE=$wine64_loader
  wineserver=/usr/lib/wine/wineserver64
  export WINEARCH=win64 WINELOADER=$wine64_loader WINESERVER=$wineserver
  # The same records with native 64-bit pointers.
  size_frames_info=96 size_vf_read=32 size_vf_table=48
  pe_magic='PE32+)'
fi
win=$top/build-win$bits
objdump=$triple-objdump

for tool in i686-w64-mingw32-g++ i686-w64-mingw32-windres "$triple-g++" "$triple-windres" "$objdump" "$wineserver"; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/setup.sh installs the Windows tools)"
done

# The dialog check needs an X display; run the whole script on one virtual
# server so that every Wine process of the prefix sees the same display.
if [ -z "${DISPLAY:-}" ] && [ -z "${WINE_SH_UNDER_XVFB:-}" ]; then
  if command -v xvfb-run >/dev/null 2>&1; then
    WINE_SH_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$top/scripts/test.d/wine.sh" "$@"
  fi
fi

echo "wine.sh: checks with the $bits-bit build (build-win$bits) under $WINE: $why"

# build_windows BITS: configures and builds build-winBITS with its toolchain.
build_windows() {
  local b=$1 t dir=$top/build-win$1
  [ "$b" = 32 ] && t=i686-w64-mingw32 || t=x86_64-w64-mingw32
  echo "wine.sh: building build-win$b"
  if ! cmake -S "$top" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$top/scripts/toolchain-$t.cmake" \
      -DTWOPASS_FFMPEG_WIN="${TWOPASS_FFMPEG_WIN_DIR:-$top/build-ffmpeg-win}/${t%%-*}" \
      -DCMAKE_BUILD_TYPE=Release -DTWOPASS_TESTS=OFF -DTWOPASS_BENCH=OFF -DTWOPASS_WIN32_TESTS=ON >/dev/null; then
    echo "wine.sh: FAIL - configuring the $b-bit Windows build"; exit 1
  fi
  if ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
    tail -n 40 "$dir/build.log"
    echo "wine.sh: FAIL - building the $b-bit Windows programs (see $dir/build.log)"; exit 1
  fi
}
# FFmpeg's libraries for vntcodec.dll, cross-built once from Debian's source
# and kept in build-ffmpeg-win/ (a second run finds them there). Without them
# the builds leave vntcodec.dll out and its checks fail saying so.
ffmpeg_windows() { # arch
  local started=$(date +%s)
  "$top/scripts/build-ffmpeg-win.sh" "$1" ||
    echo "wine.sh: FFmpeg for $1 was not built: no vntcodec.dll for it"
  echo "wine.sh: FFmpeg for $1 ready in $(($(date +%s) - started)) s"
}
ffmpeg_windows i686
[ $bits = 64 ] && ffmpeg_windows x86_64

# The 32-bit build is the deliverable: always built, so that its record
# layouts are checked even where the checks run with the 64-bit one.
build_windows 32
[ $bits = 64 ] && build_windows 64

# The command-line check compares with the Linux program (scripts/test.sh
# builds it first; when run alone, build just that program).
if [ ! -x "$linux_build/twopass" ]; then
  echo "wine.sh: building the Linux twopass in $linux_build for comparison"
  cmake -S "$top" -B "$linux_build" -G Ninja >/dev/null && cmake --build "$linux_build" -j "$jobs" --target twopass >/dev/null
fi

passed=0
failed=0
failed_names=()
pass() { echo "  PASS $1"; passed=$((passed + 1)); }
fail() { echo "  FAIL $1: $2"; failed=$((failed + 1)); failed_names+=("$1"); }

# --- the prefix --------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/twopass-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
  "$wineserver" -k >/dev/null 2>&1
  "$wineserver" -w >/dev/null 2>&1
  [ -n "${WINE_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

started=$(date +%s)
if ! "$WINE" wineboot -i >"$work/wineboot.log" 2>&1; then
  tail -n 20 "$work/wineboot.log"
  echo "wine.sh: FAIL - wineboot could not make a prefix"; exit 1
fi
"$wineserver" -p 600 # keep one server for the run: each program then starts quickly
echo "wine.sh: prefix ready in $(($(date +%s) - started)) s"
sys32=$WINEPREFIX/drive_c/windows/system32
winpath() { "$WINE" winepath -w "$1" 2>/dev/null; }
reg_add() { "$WINE" reg add "$1" /v "$2" /d "$3" /f >/dev/null 2>&1; }
reg_delete_key() { "$WINE" reg delete "$1" /f >/dev/null 2>&1; }

# Wine draws the dialogs' captions itself (there is no window manager), and
# the dialog's Japanese font name is served by the IPA font when it is there.
reg_add 'HKCU\Software\Wine\X11 Driver' Decorated N
if fc-list 2>/dev/null | grep -q IPAPGothic; then
  {
    printf '\xff\xfe'
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n"ＭＳ Ｐゴシック"="IPAPGothic"\r\n' |
      iconv -f UTF-8 -t UTF-16LE
  } >"$work/fonts.reg"
  "$WINE" regedit /S "$(winpath "$work/fonts.reg")" >/dev/null 2>&1
fi

# The test codec answers for MP42, as an installed codec would.
cp "$win/win32-tests/testcodec.dll" "$sys32/"
reg_add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' VIDC.MP42 testcodec.dll

# Our codec: vntcodec.dll and FFmpeg's DLLs in the system folder, as the
# README installs them. The checks that use it register it themselves
# (regsvr32) and unregister it when done, giving MP42 back to the test codec.
drivers32='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32'
if [ -f "$win/vntcodec.dll" ]; then
  cp "$win/vntcodec.dll" "$win"/avcodec-vnt-*.dll "$win"/avutil-vnt-*.dll "$win"/swscale-vnt-*.dll "$sys32/"
fi

# --- checks ------------------------------------------------------------------
# Each check runs in a subshell in its own folder and echoes its faults.

check_rig() {
  local out
  out=$("$WINE" "$win/win32-tests/codec_roundtrip.exe" 2>&1) && return 0
  echo "$out"
  return 1
}

# twopass.exe prints the same text with the same exit codes as the Linux
# build; only the program's file name in the USAGE line differs, and Windows
# text streams end lines with CR LF.
check_cli() {
  local linux=$linux_build/twopass
  if [ ! -x "$linux" ]; then echo "no Linux build at $linux to compare with"; return 1; fi
  cp "$win/twopass.exe" ./twopass.exe
  cp "$linux" ./twopass
  local ok=0 args
  for args in "" "-h" "-x" "-H" "only-one-file.avi" "-r"; do
    # shellcheck disable=SC2086
    ./twopass $args 2>linux.err >linux.out; local lrc=$?
    # shellcheck disable=SC2086
    "$WINE" twopass.exe $args 2>win.err >win.out; local wrc=$?
    if [ "$lrc" != "$wrc" ]; then echo "args '$args': exit code $wrc under Wine, $lrc on Linux"; ok=1; fi
    python3 - "$args" <<'EOF' || ok=1
import sys
args = sys.argv[1]
lin = open("linux.err", "rb").read()
win = open("win.err", "rb").read()
if b"\n" in win.replace(b"\r\n", b""):
    print(f"args '{args}': a line on standard error does not end with CR LF")
    sys.exit(1)
win = win.replace(b"\r\n", b"\n")
# The USAGE line names the program file: twopass.exe on Windows.
win = win.replace(b"USAGE: twopass.exe ", b"USAGE: twopass ")
if lin != win:
    print(f"args '{args}': standard error differs")
    print("  linux:", lin[:400])
    print("  wine: ", win[:400])
    sys.exit(1)
if not lin:
    print(f"args '{args}': nothing on standard error")
    sys.exit(1)
EOF
    if [ -s win.out ] || [ -s linux.out ]; then echo "args '$args': standard output is not empty"; ok=1; fi
  done
  return $ok
}

make_reference_clip() { # size frames rate -> ref.raw, in.avi
  local w=$1 h=$2 frames=$3 rate=$4
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=${w}x${h}:rate=${rate}" -frames "$frames" \
    -f rawvideo -pix_fmt bgr24 ref.raw || return 1
  python3 "$tests/make_avi.py" ref.raw "$w" "$h" "$rate" 1 in.avi
}

ffprobe_field() { # file entry
  ffprobe -v error -select_streams v:0 -count_packets -show_entries "stream=$2" -of default=nw=1:nk=1 "$1"
}

# An AVI through Wine's own AVIFile and compression manager, with the test
# codec for MP42: the file is read back by ffprobe and by check_output.py,
# which decodes every frame and compares it with the input.
check_avi_conversion() { avi_conversion_at 160 120; }
# Widths whose rows need padding: Wine's AVIFile hands out padded rows and the
# test codec reads them as real codecs do.
check_avi_conversion_odd() { avi_conversion_at 150 100 any && avi_conversion_at 350 240 any; }

avi_conversion_at() { # width height [any: no mix of kept and redone deltas asked for]
  local width=$1 height=$2 mix=${3:-mix}
  command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null || { echo "ffmpeg/ffprobe missing"; return 1; }
  make_reference_clip "$width" "$height" 60 25 || { echo "could not make the input clip"; return 1; }
  rm -f codec.trace
  local ok=0
  # Scene level 6 puts the threshold (7200 bytes at 160x120) among the delta
  # sizes, so that some deltas are kept and some are redone as key frames.
  TESTCODEC_TRACE=$(winpath "$PWD/codec.trace") "$WINE" "$win/twopass.exe" -q -l -s 6 -r 800 -k 1 in.avi out.avi \
    >stdout.txt 2>stderr.txt
  local rc=$?
  if [ $rc -ne 0 ]; then echo "twopass.exe exited with $rc:"; cat stderr.txt; return 1; fi
  [ -s stdout.txt ] && { echo "standard output not empty"; ok=1; }
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log \
    --scene-threshold $((width * height / 16 * 6)) || ok=1
  local scenes deltas
  scenes=$(grep -c 'seen changed' out.log)
  deltas=$(tr -d '\r' <out.log | grep -cE '^ +[0-9]+ +[0-9]+  $')
  [ "$mix" = any ] || { [ "$scenes" -ge 1 ] && [ "$deltas" -ge 1 ]; } ||
    { echo "the log shows $scenes scene changes and $deltas kept delta frames; want some of each"; ok=1; }
  local tag n w h rate
  tag=$(ffprobe_field out.avi codec_tag_string); n=$(ffprobe_field out.avi nb_read_packets)
  w=$(ffprobe_field out.avi width); h=$(ffprobe_field out.avi height); rate=$(ffprobe_field out.avi r_frame_rate)
  if [ "$tag" != MP42 ] || [ "$n" != 60 ] || [ "$w" != "$width" ] || [ "$h" != "$height" ] || [ "$rate" != 25/1 ]; then
    echo "ffprobe sees tag=$tag packets=$n size=${w}x${h} rate=$rate"; ok=1
  fi
  # The codec was opened for compression and told the run's settings:
  # 800 kbit/s, 75 % compression control, 1 s key distance, key interval 26.
  grep -q '^setstate size=32 bitrate=800 control=75 keyseconds=1$' codec.trace ||
    { echo "the codec's state was not patched as expected:"; grep setstate codec.trace; ok=1; }
  grep -q "^framesinfo size=$size_frames_info "'count=26 quality=10000 datarate=102400 keyrate=26 rate=25 scale=1$' codec.trace ||
    { echo "frames info not as expected:"; grep framesinfo codec.trace; ok=1; }
  # Key requests at the interval: frames 0 and 26 at least (others may be scene changes).
  local key_requests
  key_requests=$(grep -c 'request=key' codec.trace)
  [ "$key_requests" -ge 3 ] || { echo "only $key_requests key-frame requests reached the codec"; ok=1; }
  grep -q '^\[out.avi\]' out.log || { echo "the log does not name the output:"; head -n 2 out.log; ok=1; }
  return $ok
}

# The VFAPI source: reader plug-ins listed under HKCU\Software\VFPlugin are
# tried in order; a missing library and one without vfGetPluginFunc are
# skipped, the first pattern plug-in opens the file (a second copy listed
# after it is never loaded) and serves 350 x 240 frames into rows padded to
# 1052 bytes (1050 of picture), as the codec reads any DIB.
check_vfapi_source() {
  local key='HKCU\Software\VFPlugin' ok=0
  cp "$win/win32-tests/vfpattern.dll" "$win/win32-tests/testcodec.dll" .
  cp vfpattern.dll second.dll
  reg_delete_key "$key"
  reg_add "$key" a_missing "$(winpath "$PWD/no-such-plugin.dll")"
  reg_add "$key" b_no_entry "$(winpath "$PWD/testcodec.dll")"
  reg_add "$key" c_pattern "$(winpath "$PWD/vfpattern.dll")"
  reg_add "$key" d_second "$(winpath "$PWD/second.dll")"
  echo "VFPATTERN 350 240 40 30000 1001" >clip.vpat
  VFPATTERN_TRACE=$(winpath "$PWD/reader.trace") "$WINE" "$win/twopass.exe" -q -l clip.vpat out.avi >stdout.txt 2>stderr.txt
  local rc=$?
  if [ $rc -ne 0 ]; then echo "twopass.exe exited with $rc:"; cat stderr.txt; reg_delete_key "$key"; return 1; fi
  python3 "$tests/check_output.py" out.avi --pattern --frames 40 --log out.log || ok=1
  grep -q '^open clip.vpat$' reader.trace || { echo "the plug-in was not asked to open clip.vpat"; ok=1; }
  grep -q "^read size=$size_vf_read frame=0:0 pitch=-1052\$" reader.trace || { echo "first read not as expected:"; grep -m1 '^read' reader.trace; ok=1; }
  grep -qx "getpluginfunc size=$size_vf_table module=vfpattern.dll" reader.trace || { echo "function table size not passed"; ok=1; }
  ! grep -q 'module=second.dll' reader.trace || { echo "the second listed plug-in was loaded too"; ok=1; }
  local rate
  rate=$(ffprobe_field out.avi r_frame_rate)
  [ "$rate" = 30000/1001 ] || { echo "frame rate $rate, want 30000/1001"; ok=1; }

  # A plug-in whose ReadData fails ends the run normally after the frames
  # before it, with the debug lines on standard output.
  echo "VFPATTERN 64 48 20 25 1 12" >short.vpat
  "$WINE" "$win/twopass.exe" -q short.vpat short.avi >stdout.txt 2>stderr.txt
  rc=$?
  [ $rc -eq 0 ] || { echo "failing ReadData: exit code $rc"; cat stderr.txt; ok=1; }
  python3 "$tests/check_output.py" short.avi --pattern --frames 12 || ok=1
  head -n 1 stdout.txt | tr -d '\r' | grep -qx 'DEBUG - ReadData() return non-zero value.' ||
    { echo "debug lines missing:"; cat stdout.txt; ok=1; }
  tr -d '\r' <stdout.txt | grep -qx 'DEBUG - dwFrameNumberL: 12, dwFrameNumberH: 0' ||
    { echo "debug frame number line missing"; ok=1; }
  tr -d '\r' <stdout.txt | grep -qx "DEBUG - dwSize: $size_vf_read" && tr -d '\r' <stdout.txt | grep -qx 'DEBUG - lPitch: -192' &&
    tr -d '\r' <stdout.txt | grep -q '^DEBUG - lpData: ' || { echo "debug lines not as expected:"; cat stdout.txt; ok=1; }

  # No listed plug-in can open the file: the run fails with the usual message.
  echo "not a pattern" >other.xyz
  "$WINE" "$win/twopass.exe" -q other.xyz other.avi >stdout.txt 2>stderr.txt
  rc=$?
  [ $rc -eq 1 ] || { echo "unreadable input: exit code $rc, want 1"; ok=1; }
  tr -d '\r' <stderr.txt | grep -qx 'Error - Can'"'"'t open other.xyz' || { echo "unreadable input:"; cat stderr.txt; ok=1; }
  reg_delete_key "$key"
  return $ok
}

# Both deliverables stand alone: they import the system's libraries only
# (Video for Windows, AVIFile, registry or user interface, kernel, C runtime),
# no runtime DLLs of the compiler, and vnt.auo leaves the common controls to
# its host. vnt.auo exports GetOutputPluginTable alone, under that name.
check_modules() {
  local ok=0 file dlls exports want
  for file in twopass.exe vnt.auo; do
    dlls=$("$objdump" -p "$win/$file" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    case $file in
      twopass.exe) want="advapi32.dll avifil32.dll kernel32.dll msvcrt.dll msvfw32.dll " ;;
      vnt.auo) want="avifil32.dll kernel32.dll msvcrt.dll msvfw32.dll user32.dll " ;;
    esac
    [ "$dlls" = "$want" ] || { echo "$file imports $dlls; want $want"; ok=1; }
  done
  exports=$("$objdump" -p "$win/vnt.auo" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^\t\[ *[0-9]*\] //p' | tr '\n' ' ')
  [ "$exports" = "GetOutputPluginTable " ] || { echo "vnt.auo exports: $exports"; ok=1; }
  local headers
  headers=$("$objdump" -p "$win/twopass.exe")
  grep -q 'Subsystem.*Windows CUI' <<<"$headers" || { echo "twopass.exe is not a console program"; ok=1; }
  headers=$("$objdump" -p "$win/vnt.auo")
  grep -qx $'\tDLL' <<<"$headers" && grep -qF "$pe_magic" <<<"$headers" || { echo "vnt.auo is not a $bits-bit DLL"; ok=1; }
  return $ok
}

# The dialog and version resources, as Windows loads them, against the
# plug-in's own control table.
check_resources() {
  "$WINE" "$win/win32-tests/resource_check.exe" "$(winpath "$win/vnt.auo")" 2>&1
}

# Ctrl-C on Windows: an interrupted run leaves a complete AVI file (headers
# and index) with the frames written so far, its log matching, and exit code
# 1. Wine turns SIGINT into the console's Ctrl-C event.
check_interrupt() {
  local key='HKCU\Software\VFPlugin' ok=0
  cp "$win/win32-tests/vfpattern.dll" .
  reg_delete_key "$key"
  reg_add "$key" pattern "$(winpath "$PWD/vfpattern.dll")"
  echo "VFPATTERN 320 240 1000000 25 1" >endless.vpat
  "$WINE" "$win/twopass.exe" -l endless.vpat cut.avi >stdout.txt 2>stderr.txt &
  local pid=$! i
  for i in $(seq 1 300); do
    grep -q 'frame: *[0-9][0-9][0-9]/' stderr.txt 2>/dev/null && break
    sleep 0.1
  done
  kill -INT "$pid"
  wait "$pid"
  local rc=$?
  reg_delete_key "$key"
  [ $rc -eq 1 ] || { echo "interrupted run: exit code $rc, want 1"; ok=1; }
  python3 "$tests/check_output.py" cut.avi --pattern --log cut.log || ok=1
  return $ok
}

# Block noise on Windows: the test codec damages one block of every fourth
# delta frame; each such frame must be caught by the verification decode,
# redone as a key frame, logged with the block's place, and drawn as an
# analysis bitmap in the current folder (written in binary mode, or its
# size gives it away).
check_bad_blocks() {
  make_reference_clip 160 120 60 25 || { echo "could not make the input clip"; return 1; }
  local ok=0
  TESTCODEC_DAMAGE=4 TESTCODEC_TRACE=$(winpath "$PWD/codec.trace") "$WINE" "$win/twopass.exe" -q -l -b -k 2 in.avi out.avi \
    >stdout.txt 2>stderr.txt
  local rc=$?
  if [ $rc -ne 0 ]; then echo "twopass.exe exited with $rc:"; cat stderr.txt; return 1; fi
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log --bad-block 32,16 \
    --bad-frames-out bad.txt || ok=1
  local damaged caught
  damaged=$(grep -c ' damaged$' codec.trace)
  caught=$(wc -l <bad.txt)
  [ "$caught" -ge 5 ] && [ "$caught" -eq "$damaged" ] ||
    { echo "$damaged damaged delta frames, $caught redone for block noise"; ok=1; }
  python3 - <<'EOF' || ok=1
import glob, struct, sys
bad = [int(n) for n in open("bad.txt").read().split()]
names = sorted(glob.glob("*.bmp"))
want = sorted(f"{n:08d}.bmp" for n in bad)
if names != want:
    print(f"analysis bitmaps {names}, want {want}")
    sys.exit(1)
for name in names:
    data = open(name, "rb").read()
    magic, size, _, offset, header, width, height, planes, bits, compression = struct.unpack_from("<2sIIIIiiHHI", data)
    row = (width * 3 + 3) // 4 * 4
    if (magic, width, height, bits, compression) != (b"BM", 372, 160, 24, 0) or size != len(data) \
            or len(data) != offset + row * height:
        print(f"{name}: {len(data)} bytes, header {magic!r} size {size} {width}x{height}x{bits} offset {offset}")
        sys.exit(1)
EOF
  return $ok
}

# vnt.auo loaded by the Windows vnt-host, exporting an AVI through Wine's
# AVIFile and the test codec; a key frame asked for by the host at frame 10.
check_plugin_export() { plugin_export_at 160 120; }
check_plugin_export_odd() { plugin_export_at 150 100 && plugin_export_at 350 240; }

plugin_export_at() { # width height
  local width=$1 height=$2
  make_reference_clip "$width" "$height" 60 25 || { echo "could not make the input clip"; return 1; }
  cp "$win/vnt.auo" "$win/vnt-host.exe" .
  local ok=0
  "$WINE" vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q -l -s 6 -r 800 -k 1 --key 10 \
    in.avi out.avi >stdout.txt 2>stderr.txt
  local rc=$?
  if [ $rc -ne 0 ]; then echo "vnt-host.exe exited with $rc:"; cat stdout.txt stderr.txt; return 1; fi
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log \
    --scene-threshold $((width * height / 16 * 6)) || ok=1
  tr -d '\r' <out.log | grep -qx '    10 [ 0-9]*  \*\*\*' || { echo "frame 10 is not a plain key frame:"; grep -m1 '^ *10 ' out.log; ok=1; }
  local n
  n=$(ffprobe_field out.avi nb_read_packets)
  [ "$n" = 60 ] || { echo "ffprobe reads $n packets"; ok=1; }
  # The run clamps the stored record: a bit rate of 50000 is kept as 32767.
  "$WINE" vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q -r 50000 --frames 3 in.avi clamp.avi \
    >stdout.txt 2>stderr.txt || { echo "clamp run failed"; cat stderr.txt; ok=1; }
  python3 - <<'EOF' || ok=1
import struct
c = struct.unpack("<9i", open("host.cfg", "rb").read())
if c[1] != 32767:
    print(f"after a run with 50000 kbit/s the plug-in keeps {c[1]}")
    raise SystemExit(1)
EOF
  return $ok
}

# The settings dialog on Wine's dialog manager, worked as a user would; a
# screenshot of it lands in build-win32/ (or build-win64/) config_dialog.png.
check_dialog() {
  if [ -z "${DISPLAY:-}" ]; then echo "no X display (xvfb-run missing)"; return 1; fi
  cp "$win/vnt.auo" .
  local shot=""
  command -v xwd >/dev/null && command -v xwdtopnm >/dev/null && command -v pnmtopng >/dev/null && shot=--shot
  rm -f "$win/config_dialog.png"
  # Wine hands an ANSI dialog's texts to its controls in the ANSI code page,
  # so the Japanese texts need the Japanese locale that the editor's users have.
  LC_ALL=ja_JP.UTF-8 timeout 120 "$WINE" "$win/win32-tests/dialog_check.exe" vnt.auo $shot >dialog.out 2>&1 &
  local pid=$! i
  if [ -n "$shot" ]; then
    for i in $(seq 1 300); do [ -s dialog.ready ] && break; sleep 0.1; done
    if [ -s dialog.ready ]; then
      local x y w h
      read -r x y w h < <(tr -d '\r' <dialog.ready)
      if xwd -root -silent | xwdtopnm 2>/dev/null | pamcut -left "$x" -top "$y" -width "$w" -height "$h" |
        pnmtopng >"$win/config_dialog.png"; then
        echo "screenshot ${w}x${h} at $x,$y: $win/config_dialog.png"
      fi
    fi
    touch dialog.go
  fi
  wait $pid
  local rc=$?
  cat dialog.out
  [ $rc -eq 0 ] || return 1
  if [ -n "$shot" ] && [ ! -s "$win/config_dialog.png" ]; then echo "no screenshot was taken"; return 1; fi
  return 0
}

# --- our codec (vntcodec.dll) ------------------------------------------------

drivers32_value() { # name -> the codec file it names, or nothing
  "$WINE" reg query "$drivers32" /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v n="$1" 'tolower($1) == tolower(n) { print $3 }'
}
vntcodec_register() {
  [ -f "$sys32/vntcodec.dll" ] || { echo "vntcodec.dll was not built (see the FFmpeg lines above)"; return 1; }
  "$WINE" regsvr32 /s vntcodec.dll >/dev/null 2>&1 || { echo "regsvr32 vntcodec.dll failed"; return 1; }
}
vntcodec_unregister() {
  "$WINE" regsvr32 /s /u vntcodec.dll >/dev/null 2>&1
  reg_add "$drivers32" VIDC.MP42 testcodec.dll
}

# regsvr32 installs our codec for every FourCC of the drivers' table (in
# place of the test codec's MP42); each codec describes itself, has no
# dialog, keeps its state block and codes key and delta frames; regsvr32 /u
# removes our entries and leaves another codec's.
check_vntcodec() {
  local ok=0 fcc value
  vntcodec_register || return 1
  for fcc in MP42 MP43 DIV3 DIV4 MPG4; do
    value=$(drivers32_value "vidc.$fcc")
    [ "$value" = vntcodec.dll ] || { echo "after regsvr32, vidc.$fcc names '$value'"; ok=1; }
  done
  "$WINE" "$win/win32-tests/vntcodec_check.exe" probe MP42 MP43 DIV3 DIV4 MPG4 >probe.txt 2>&1 || ok=1
  tr -d '\r' <probe.txt
  reg_add "$drivers32" vidc.DIV4 other.dll
  "$WINE" regsvr32 /s /u vntcodec.dll >/dev/null 2>&1 || { echo "regsvr32 /u vntcodec.dll failed"; ok=1; }
  value=$(drivers32_value vidc.MP43)
  [ -z "$value" ] || { echo "after regsvr32 /u, vidc.MP43 still names '$value'"; ok=1; }
  value=$(drivers32_value vidc.DIV4)
  [ "$value" = other.dll ] || { echo "regsvr32 /u took another codec's vidc.DIV4 ('$value')"; ok=1; }
  "$WINE" reg delete "$drivers32" /v vidc.DIV4 /f >/dev/null 2>&1
  vntcodec_unregister
  return $ok
}

# Compares a file written under Wine with the Linux program's file for the
# same clip and settings, and runs the peer check: ffmpeg decodes the file,
# frame for frame and byte for byte, to the pictures our codec's decoder
# makes of it (the decoder the verification runs through).
peer_and_linux() { # file fourcc width height frames linux-file
  local avi=$1 fcc=$2 width=$3 height=$4 frames=$5 lin=$6 ok=0
  local tag n
  tag=$(ffprobe_field "$avi" codec_tag_string); n=$(ffprobe_field "$avi" nb_read_packets)
  [ "$tag" = "$fcc" ] && [ "$n" = "$frames" ] || { echo "ffprobe sees tag=$tag packets=$n"; ok=1; }
  local decoded
  decoded=$("$WINE" "$win/win32-tests/vntcodec_check.exe" decode "$avi" ours.raw 2>&1 | tr -d '\r') ||
    { echo "$decoded"; return 1; }
  grep -q "^$frames frames decoded by vntcodec.dll\$" <<<"$decoded" || { echo "$decoded"; ok=1; }
  ffmpeg -v error -y -i "$avi" -vf vflip -f rawvideo -pix_fmt bgr24 peer.raw || { echo "ffmpeg cannot decode $avi"; return 1; }
  python3 - "$width" "$height" <<'PY' || ok=1
import sys
w, h = int(sys.argv[1]), int(sys.argv[2])
ours, peer = open("ours.raw", "rb").read(), open("peer.raw", "rb").read()
size = w * h * 3
if len(ours) != len(peer):
    print(f"our codec decoded {len(ours) // size} frames, ffmpeg {len(peer) // size}")
    sys.exit(1)
bad = [n for n in range(len(ours) // size) if ours[n * size:(n + 1) * size] != peer[n * size:(n + 1) * size]]
if bad:
    print(f"ffmpeg's pictures differ from our codec's in frames {bad[:10]}")
    sys.exit(1)
PY
  # Same frame count as the Linux program, total size within the rate
  # control's tolerance (10 %) of it; both sides' numbers for the notes.
  python3 - "$avi" "$lin" <<'PY' || ok=1
import os, subprocess, sys
def packets(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags,size",
                          "-of", "csv=p=0", path], capture_output=True, text=True, check=True).stdout.split()
    rows = [line.split(",") for line in out]
    return len(rows), sum(1 for _, f in rows if "K" in f), sum(int(s) for s, _ in rows)
def digests(path):
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "framemd5", "-"],
                         capture_output=True, text=True, check=True).stdout
    return [line.split(",")[-1].strip() for line in out.splitlines() if not line.startswith("#")]
win, lin = packets(sys.argv[1]), packets(sys.argv[2])
same = digests(sys.argv[1]) == digests(sys.argv[2])
print(f"wine: {win[0]} frames, {win[1]} key, {win[2]} bytes of video; linux: {lin[0]} frames, {lin[1]} key, "
      f"{lin[2]} bytes ({100.0 * (win[2] - lin[2]) / lin[2]:+.1f} %); frames {'identical' if same else 'differ'}")
if win[0] != lin[0] or abs(win[2] - lin[2]) > 0.10 * lin[2]:
    sys.exit(1)
PY
  return $ok
}

# twopass.exe with vntcodec.dll: real MPEG-4 for clips of several sizes with
# MP42, MP43 and MPG4 (150 and 350 pixels wide: rows padded to 4 bytes), at a
# bit rate low enough, and by a block-noise rule strict enough (16 pixels: the
# codec keeps its deltas clear of the default one), that the check redoes
# delta frames as key frames with the real codec.
real_codec_run() { # width height codec-letter fourcc
  local width=$1 height=$2 letter=$3 fcc=$4 frames=50 ok=0
  local args=(-q -l -b -v "$letter" -r 300 -k 1 -s 3 -p 16)
  make_reference_clip "$width" "$height" $frames 25 || { echo "could not make the input clip"; return 1; }
  "$WINE" "$win/twopass.exe" "${args[@]}" in.avi out.avi >stdout.txt 2>stderr.txt
  local rc=$?
  [ $rc -eq 0 ] || { echo "twopass.exe exited with $rc:"; cat stderr.txt; return 1; }
  ./twopass "${args[@]}" in.avi linux.avi >/dev/null 2>&1 || { echo "the Linux twopass failed"; return 1; }
  local result
  result=$(peer_and_linux out.avi "$fcc" "$width" "$height" $frames linux.avi) || ok=1
  echo "$fcc ${width}x${height}: $result"
  echo "redone $(tr -d '\r' <out.log | grep -c ' - bad block')"
  return $ok
}

check_real_codec() {
  local ok=0 redone=0 size w h letter fcc
  vntcodec_register || return 1
  cp "$linux_build/twopass" ./twopass 2>/dev/null || { echo "no Linux build at $linux_build"; vntcodec_unregister; return 1; }
  for size in "160 120 2 MP42" "352 288 3 MP43" "176 144 3 MP43" "320 240 2 MP42" "150 100 2 MP42" "350 240 3 MP43" \
    "350 240 1 MPG4"; do
    read -r w h letter fcc <<<"$size"
    mkdir -p "$w-$fcc" && cp twopass "$w-$fcc/"
    (cd "$w-$fcc" && real_codec_run "$w" "$h" "$letter" "$fcc") >"$w-$fcc.out" 2>&1 || ok=1
    grep -v '^redone ' "$w-$fcc.out"
    redone=$((redone + $(sed -n 's/^redone //p' "$w-$fcc.out" | head -n 1 | grep . || echo 0)))
  done
  [ "$redone" -ge 1 ] || { echo "no delta frame was redone for block noise with the real codec"; ok=1; }
  echo "frames redone for block noise: $redone"
  vntcodec_unregister
  return $ok
}

# The same through vnt-host.exe and vnt.auo, with MP43.
check_plugin_real_codec() {
  local ok=0 width=352 height=288 frames=50
  vntcodec_register || return 1
  make_reference_clip $width $height $frames 25 || { echo "could not make the input clip"; vntcodec_unregister; return 1; }
  cp "$win/vnt.auo" "$win/vnt-host.exe" .
  local args=(--defaults -q -l -v 3 -r 300 -k 1 -s 3)
  "$WINE" vnt-host.exe --plugin vnt.auo --config-file host.cfg "${args[@]}" in.avi out.avi >stdout.txt 2>stderr.txt
  local rc=$?
  if [ $rc -ne 0 ]; then echo "vnt-host.exe exited with $rc:"; cat stdout.txt stderr.txt; vntcodec_unregister; return 1; fi
  local host=$linux_build/vnt-host
  if [ -x "$host" ] && [ -f "$linux_build/vnt.auo" ]; then
    "$host" --plugin "$linux_build/vnt.auo" --config-file linux.cfg "${args[@]}" in.avi linux.avi >/dev/null 2>&1 ||
      { echo "the Linux vnt-host failed"; ok=1; }
  else
    echo "no Linux vnt-host in $linux_build"; ok=1
  fi
  local result
  result=$(peer_and_linux out.avi MP43 $width $height $frames linux.avi) || ok=1
  echo "MP43 ${width}x${height} via vnt.auo: $result"
  vntcodec_unregister
  return $ok
}

run_check() {
  local name=$1 dir=$work/$1 out rc
  mkdir -p "$dir"
  out=$(cd "$dir" && "check_$name" 2>&1)
  rc=$?
  if [ $rc -eq 0 ]; then
    pass "$name"
    [ -n "$out" ] && sed 's/^/    /' <<<"$out"
  else
    fail "$name" "see below"
    sed 's/^/    /' <<<"$out"
  fi
}

# All checks, or those named on the command line (wine.sh dialog cli ...).
checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(modules resources rig cli avi_conversion avi_conversion_odd bad_blocks vfapi_source interrupt
  plugin_export plugin_export_odd dialog vntcodec real_codec plugin_real_codec)
for check in "${checks[@]}"; do
  run_check "$check"
done

[ $failed -eq 0 ] || echo "wine.sh: failed: ${failed_names[*]}"
echo "wine.sh: ${passed} passed, ${failed} failed"
[ $failed -eq 0 ]
