#!/usr/bin/env bash
# The checks of the Windows builds under Wine, with the build that
# wine_prelude.sh picks (build-win32 where 32-bit programs run, else
# build-win64) and scripts/build-windows.sh builds first: the check_*
# functions below in order, or those named (wine.sh cli dialog), each in its
# own folder of one throwaway prefix, setting up and removing what it needs.
# Exit 0 when every check passed, 1 when one failed, 77 when no Wine starts
# or tools are missing (a line says which).
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
top=$(pwd)
linux_build=${TWOPASS_LINUX_BUILD:-$top/build}
tests=$top/tests/win32
. "$top/scripts/wine_prelude.sh"
command -v python3 >/dev/null 2>&1 || skip "python3 is not installed"
wine_pick

# The dialog check needs an X display: the whole script runs on one virtual server, seen by every Wine process.
if [ -z "${DISPLAY:-}" ] && [ -z "${WINE_SH_UNDER_XVFB:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  WINE_SH_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$top/scripts/test.d/wine.sh" "$@"
fi

echo "wine.sh: checks with the $bits-bit build (build-win$bits) under $WINE: $why"
wine64_want
# Only a run of vnt.auo2's checks needs the 64-bit build beside the 32-bit one.
wants_auo2=0
[ $# -eq 0 ] && wants_auo2=1
for name in "$@"; do case $name in auo2*) wants_auo2=1 ;; esac; done
[ $wants_auo2 = 1 ] || build_bits=$bits
if [ "$build_bits" != "$bits" ]; then
  echo "wine.sh: vnt.auo2's checks with build-win64 under $wine64_loader"
elif [ -n "$win64_missing" ] && [ $wants_auo2 = 1 ]; then
  echo "wine.sh: vnt.auo2's checks can't run: $win64_missing"
fi
"$top/scripts/build-windows.sh" "$build_bits"
rc=$?
if [ $rc -ne 0 ] && [ "$build_bits" != "$bits" ]; then
  # The 32-bit checks still run; vnt.auo2's say why they can't.
  win64_missing="the 64-bit build failed or misses a tool (scripts/build-windows.sh 64, above)"
  echo "wine.sh: $win64_missing; the $bits-bit build alone"
  "$top/scripts/build-windows.sh" "$bits"
  rc=$?
fi
[ $rc -eq 77 ] && skip "scripts/build-windows.sh misses a tool (above)"
[ $rc -eq 0 ] || { echo "wine.sh: FAIL - the builds (scripts/build-windows.sh)"; exit 1; }
wine_prefix

# --- checks ------------------------------------------------------------------

# Both deliverables stand alone: the system's libraries their only imports,
# vnt.auo's one export under its plain name, the kinds of module.
check_modules() { python3 "$tests/wine_checks.py" modules "$objdump" "$win" "$pe_kind"; }

# The dialog and version resources, as Windows loads them, against the
# plug-in's own control table.
check_resources() { "$WINE" "$win/win32-tests/resource_check.exe" "$(winpath "$win/vnt.auo")" 2>&1; }

check_rig() { local out; out=$("$WINE" "$win/win32-tests/codec_roundtrip.exe" 2>&1) || { echo "$out"; return 1; }; }

# twopass.exe prints the same text with the same exit codes as the Linux
# build; only the program's file name in the USAGE line differs, and Windows
# text streams end lines with CR LF.
check_cli() {
  local linux=$linux_build/twopass ok=0 args lrc wrc
  [ -x "$linux" ] || { echo "no Linux build at $linux to compare with"; return 1; }
  cp "$win/twopass.exe" ./twopass.exe && cp "$linux" ./twopass
  for args in "" "-h" "-x" "-H" "only-one-file.avi" "-r"; do
    # shellcheck disable=SC2086
    ./twopass $args 2>linux.err >linux.out; lrc=$?
    # shellcheck disable=SC2086
    "$WINE" twopass.exe $args 2>win.err >win.out; wrc=$?
    [ "$lrc" = "$wrc" ] || fault "args '$args': exit code $wrc under Wine, $lrc on Linux"
    python3 "$tests/wine_checks.py" messages "$args" linux.err win.err || ok=1
    [ ! -s win.out ] && [ ! -s linux.out ] || fault "args '$args': standard output is not empty"
  done
  return $ok
}

# An AVI through Wine's own AVIFile and compression manager, with the test
# codec for MP42: the file is read back by ffprobe and by check_output.py,
# which decodes every frame and compares it with the input.
# Names outside the ANSI code page: with UTF-8 as twopass.exe's code page (its manifest) they stay whole.
check_unicode_names() {
  local ok=0
  make_reference_clip 160 120 10 25 && mv in.avi 入力.avi && wine_run "$win/twopass.exe" -q -l 入力.avi 出力.avi || return 1
  stream_is 出力.avi nb_read_packets=10
  [ "$(crlf 出力.log | head -n 1)" = "[出力.avi]" ] || fault "出力.log does not start with [出力.avi]"
  return $ok
}
# The engine's wide entry, which the 64-bit plug-in's UTF-16 names go through,
# in a folder of a Japanese name: an output name no ANSI code page holds gets
# the narrow run's video and log, the analysis pictures beside it.
check_wide_session() {
  mkdir 日本語 && cd 日本語 || return 1
  TESTCODEC_DAMAGE=4 wine_run "$win/win32-tests/wide_session_check.exe" || return 1
}
check_avi_conversion() { avi_conversion_at 160 120; }
# Widths whose rows need padding: Wine's AVIFile hands out padded rows and the
# test codec reads them as real codecs do.
check_avi_conversion_odd() { avi_conversion_at 150 100 any && avi_conversion_at 350 240 any; }

avi_conversion_at() { # width height [any: no mix of kept and redone deltas asked for]
  local width=$1 height=$2 mix=${3:-mix} ok=0 scenes deltas keys
  command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null || { echo "ffmpeg/ffprobe missing"; return 1; }
  make_reference_clip "$width" "$height" 60 25 || return 1
  rm -f codec.trace
  # Scene level 6 puts the threshold (7200 bytes at 160x120) among the delta
  # sizes, so that some deltas are kept and some are redone as key frames.
  TESTCODEC_TRACE=$(winpath "$PWD/codec.trace") wine_run "$win/twopass.exe" -q -l -s 6 -r 800 -k 1 in.avi out.avi ||
    return 1
  [ ! -s stdout.txt ] || fault "standard output not empty"
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log \
    --scene-threshold $((width * height / 16 * 6)) || ok=1
  scenes=$(grep -c 'seen changed' out.log)
  deltas=$(crlf out.log | grep -cE '^ +[0-9]+ +[0-9]+  $')
  [ "$mix" = any ] || { [ "$scenes" -ge 1 ] && [ "$deltas" -ge 1 ]; } ||
    fault "the log shows $scenes scene changes and $deltas kept delta frames; want some of each"
  stream_is out.avi codec_tag_string=MP42 nb_read_packets=60 width="$width" height="$height" r_frame_rate=25/1
  # The codec was opened for compression and told the run's settings:
  # 800 kbit/s, 75 % compression control, 1 s key distance, key interval 26.
  has_line codec.trace 'setstate size=32 bitrate=800 control=75 keyseconds=1' \
    "framesinfo size=$size_frames_info count=26 quality=10000 datarate=102400 keyrate=26 rate=25 scale=1"
  # Key requests at the interval: frames 0, 26 and 52 at least (others may be scene changes).
  keys=$(grep -c 'request=key' codec.trace)
  [ "$keys" -ge 3 ] || fault "only $keys key-frame requests reached the codec"
  grep -q '^\[out.avi\]' out.log || fault "the log does not name the output:" "$(head -n 2 out.log)"
  return $ok
}

# Block noise on Windows: the test codec damages one block of every fourth
# delta frame; each such frame must be caught by the verification decode,
# redone as a key frame, logged with the block's place, and drawn as an
# analysis bitmap in the current folder.
check_bad_blocks() {
  local ok=0 damaged caught
  make_reference_clip 160 120 60 25 || return 1
  TESTCODEC_DAMAGE=4 TESTCODEC_TRACE=$(winpath "$PWD/codec.trace") \
    wine_run "$win/twopass.exe" -q -l -b -k 2 in.avi out.avi || return 1
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log --bad-block 32,16 \
    --bad-frames-out bad.txt || ok=1
  damaged=$(grep -c ' damaged$' codec.trace)
  caught=$(wc -l <bad.txt)
  [ "$caught" -ge 5 ] && [ "$caught" -eq "$damaged" ] || fault "$damaged damaged delta frames, $caught redone for block noise"
  python3 "$tests/wine_checks.py" bitmaps bad.txt 372 160 || ok=1
  return $ok
}

# The VFAPI source: reader plug-ins listed under HKCU\Software\VFPlugin are
# tried in order; a missing library and one without vfGetPluginFunc are
# skipped, the first pattern plug-in opens the file (a second copy listed
# after it is never loaded) and serves 350 x 240 frames into rows padded to
# 1052 bytes (1050 of picture), as the codec reads any DIB.
check_vfapi_source() {
  local ok=0 rc
  cp "$win/win32-tests/vfpattern.dll" "$win/win32-tests/testcodec.dll" . && cp vfpattern.dll second.dll
  reg_delete_key "$vfplugins"
  trap 'reg_delete_key "$vfplugins"' EXIT
  reg_add "$vfplugins" a_missing "$(winpath "$PWD/no-such-plugin.dll")"
  reg_add "$vfplugins" b_no_entry "$(winpath "$PWD/testcodec.dll")"
  reg_add "$vfplugins" c_pattern "$(winpath "$PWD/vfpattern.dll")"
  reg_add "$vfplugins" d_second "$(winpath "$PWD/second.dll")"
  echo "VFPATTERN 350 240 40 30000 1001" >clip.vpat
  VFPATTERN_TRACE=$(winpath "$PWD/reader.trace") wine_run "$win/twopass.exe" -q -l clip.vpat out.avi || return 1
  python3 "$tests/check_output.py" out.avi --pattern --frames 40 --log out.log || ok=1
  has_line reader.trace 'open clip.vpat' "read size=$size_vf_read frame=0:0 pitch=-1052" \
    "getpluginfunc size=$size_vf_table module=vfpattern.dll"
  ! grep -q 'module=second.dll' reader.trace || fault "the second listed plug-in was loaded too"
  stream_is out.avi r_frame_rate=30000/1001
  # A plug-in whose ReadData fails ends the run normally after the frames
  # before it, with the debug lines on standard output.
  echo "VFPATTERN 64 48 20 25 1 12" >short.vpat
  wine_run "$win/twopass.exe" -q short.vpat short.avi || fault "(the run whose ReadData fails)"
  python3 "$tests/check_output.py" short.avi --pattern --frames 12 || ok=1
  crlf stdout.txt | head -n 1 | grep -qx 'DEBUG - ReadData() return non-zero value.' ||
    fault "debug lines missing:" "$(cat stdout.txt)"
  has_line stdout.txt 'DEBUG - dwFrameNumberL: 12, dwFrameNumberH: 0' "DEBUG - dwSize: $size_vf_read" 'DEBUG - lPitch: -192'
  crlf stdout.txt | grep -q '^DEBUG - lpData: ' || fault "no lpData line among the debug lines:" "$(cat stdout.txt)"
  # No listed plug-in can open the file: the run fails with the usual message.
  echo "not a pattern" >other.xyz
  "$WINE" "$win/twopass.exe" -q other.xyz other.avi >stdout.txt 2>stderr.txt
  rc=$?
  [ $rc -eq 1 ] || fault "unreadable input: exit code $rc, want 1"
  has_line stderr.txt "Error - Can't open other.xyz"
  return $ok
}

# Ctrl-C on Windows: an interrupted run leaves a complete AVI file (headers
# and index) with the frames written so far, its log matching, and exit code
# 1. Wine turns SIGINT into the console's Ctrl-C event.
check_interrupt() {
  local ok=0 pid rc
  cp "$win/win32-tests/vfpattern.dll" .
  reg_delete_key "$vfplugins"
  trap 'reg_delete_key "$vfplugins"' EXIT
  reg_add "$vfplugins" pattern "$(winpath "$PWD/vfpattern.dll")"
  echo "VFPATTERN 320 240 1000000 25 1" >endless.vpat
  "$WINE" "$win/twopass.exe" -l endless.vpat cut.avi >stdout.txt 2>stderr.txt &
  pid=$!
  for _ in $(seq 1 300); do grep -q 'frame: *[0-9][0-9][0-9]/' stderr.txt 2>/dev/null && break; sleep 0.1; done
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  [ $rc -eq 1 ] || fault "interrupted run: exit code $rc, want 1"
  python3 "$tests/check_output.py" cut.avi --pattern --log cut.log || ok=1
  return $ok
}

# vnt.auo loaded by the Windows vnt-host, exporting an AVI through Wine's
# AVIFile and the test codec; a key frame asked for by the host at frame 10.
check_plugin_export() { plugin_export_at 160 120; }
check_plugin_export_odd() { plugin_export_at 150 100 && plugin_export_at 350 240; }

plugin_export_at() { # width height
  local width=$1 height=$2 ok=0
  make_reference_clip "$width" "$height" 60 25 || return 1
  cp "$win/vnt.auo" "$win/vnt-host.exe" .
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q -l -s 6 -r 800 -k 1 --key 10 \
    in.avi out.avi || return 1
  python3 "$tests/check_output.py" out.avi --reference-raw ref.raw --frames 60 --log out.log \
    --scene-threshold $((width * height / 16 * 6)) || ok=1
  crlf out.log | grep -qx '    10 [ 0-9]*  \*\*\*' || fault "frame 10 is not a plain key frame:" "$(grep -m1 '^ *10 ' out.log)"
  stream_is out.avi nb_read_packets=60
  # The run clamps the stored record: a bit rate of 50000 is kept as 32767.
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q -r 50000 --frames 3 in.avi clamp.avi ||
    fault "(the run at 50000 kbit/s)"
  python3 "$tests/wine_checks.py" setting host.cfg 1 32767 || fault "(after a run at 50000 kbit/s)"
  return $ok
}

# Audio through Windows' AVIFile. An input with 1.8 s of audio beside 2 s of
# video (the audio is kept whole) as PCM and as constant-rate MP3 stored a
# byte a sample: twopass.exe -a keeps each stream's bytes (Wine's AVIFile
# reads such streams across chunks, so the bytes are compared, not the
# packets; it can't read MP3 stored a frame a sample, as ffmpeg writes it)
# and -m 128 makes MP3 of the PCM; -m on the MP3 stops before the output exists, since this
# build decodes only PCM. vnt-host.exe hands vnt.auo the PCM, which it keeps
# sample for sample or as MP3.
audio_clip() { # codec options... -> <name>.avi from in.avi
  local name=$1
  shift
  ffmpeg -v error -y -i in.avi -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=1.8" -map 0:v -map 1:a \
    -c:v copy -avoid_negative_ts disabled "$@" "$name.avi" || { echo "could not make $name.avi"; return 1; }
}
audio_bytes() { ffmpeg -v error -i "$1" -map 0:a:0 -c copy -f data - | md5sum; }
# audio_is FILE codec bit_rate: what ffprobe says of the first audio stream,
# and that it reads the file without a word.
audio_is() {
  local got complaints
  got=$(ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,bit_rate,sample_rate -of csv=p=0 "$1")
  [ "$got" = "$2,48000,$3" ] || fault "$1: audio is '$got', want '$2,48000,$3'"
  complaints=$(ffprobe -v warning -i "$1" -show_entries format=duration -of csv=p=0 2>&1 >/dev/null)
  [ -z "$complaints" ] || fault "$1: ffprobe says:" "$complaints"
}
# mp3_lasts FILE: its MP3 lasts the input's 1.8 s within two MP3 frames.
mp3_lasts() {
  local seconds
  seconds=$(ffmpeg -v error -i "$1" -map 0:a:0 -f s16le -ac 1 - | wc -c | awk '{ print $1 / 96000 }')
  awk -v s="$seconds" 'BEGIN { exit !(s > 1.8 - 0.048 && s < 1.8 + 0.048) }' ||
    fault "$1: the MP3 decodes to $seconds s, want 1.8"
}

check_audio() {
  local ok=0 rc
  make_reference_clip 160 120 50 25 || return 1
  audio_clip pcm -c:a pcm_s16le && audio_clip mp3 -c:a libmp3lame -b:a 128k || return 1
  python3 "$tests/wine_checks.py" cbr_bytes mp3.avi || return 1
  for name in pcm mp3; do
    wine_run "$win/twopass.exe" -q -a $name.avi $name-copy.avi || return 1
    python3 "$tests/check_output.py" $name-copy.avi --reference-raw ref.raw --frames 50 || ok=1
    [ "$(audio_bytes $name-copy.avi)" = "$(audio_bytes $name.avi)" ] || fault "$name-copy.avi: the audio's bytes differ from the input's"
  done
  audio_is pcm-copy.avi pcm_s16le 768000
  audio_is mp3-copy.avi mp3 128000
  wine_run "$win/twopass.exe" -q -m 128 pcm.avi pcm-mp3.avi || return 1
  python3 "$tests/check_output.py" pcm-mp3.avi --reference-raw ref.raw --frames 50 || ok=1
  audio_is pcm-mp3.avi mp3 128000
  mp3_lasts pcm-mp3.avi
  "$WINE" "$win/twopass.exe" -q -m 128 mp3.avi refused.avi >stdout.txt 2>stderr.txt
  rc=$?
  [ $rc -eq 1 ] || fault "-m on MP3 input: exit code $rc, want 1"
  crlf stderr.txt | grep -qF "ERROR - Can't decode the audio of mp3.avi" || fault "-m on MP3 input says:" "$(cat stderr.txt)"
  [ ! -e refused.avi ] || fault "-m on MP3 input left refused.avi"
  return $ok
}

check_plugin_audio() {
  local ok=0
  make_reference_clip 160 120 50 25 || return 1
  audio_clip pcm -c:a pcm_s16le || return 1
  cp "$win/vnt.auo" "$win/vnt-host.exe" "$win/mp3lame-vnt.dll" .
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q --audio pcm pcm.avi out-pcm.avi || return 1
  python3 "$tests/check_output.py" out-pcm.avi --reference-raw ref.raw --frames 50 || ok=1
  audio_is out-pcm.avi pcm_s16le 768000
  [ "$(audio_bytes out-pcm.avi)" = "$(audio_bytes pcm.avi)" ] || fault "out-pcm.avi: the PCM differs from the host's"
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q --audio 128 pcm.avi out-mp3.avi || return 1
  python3 "$tests/check_output.py" out-mp3.avi --reference-raw ref.raw --frames 50 || ok=1
  audio_is out-mp3.avi mp3 128000
  mp3_lasts out-mp3.avi
  # Without LAME's DLL beside it the plug-in still loads and exports PCM, but
  # an MP3 export fails before its file exists.
  rm mp3lame-vnt.dll
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q --audio pcm pcm.avi no-dll-pcm.avi ||
    fault "(a PCM export without mp3lame-vnt.dll)"
  ! "$WINE" vnt-host.exe --plugin vnt.auo --config-file host.cfg --defaults -q --audio 128 pcm.avi no-dll.avi \
    >stdout.txt 2>stderr.txt || fault "an MP3 export without mp3lame-vnt.dll succeeded"
  [ ! -e no-dll.avi ] || fault "an MP3 export without mp3lame-vnt.dll left no-dll.avi"
  return $ok
}

# The settings dialog on Wine's dialog manager, worked as a user would; a
# screenshot of it lands in build-win32/ (or build-win64/) config_dialog.png.
check_dialog() {
  [ -n "${DISPLAY:-}" ] || { echo "no X display (xvfb-run missing)"; return 1; }
  cp "$win/vnt.auo" .
  local shot="" pid rc x y w h
  command -v xwd >/dev/null && command -v xwdtopnm >/dev/null && command -v pnmtopng >/dev/null && shot=--shot
  rm -f "$win/config_dialog.png"
  # Wine hands an ANSI dialog's texts to its controls in the ANSI code page,
  # so the Japanese texts need the Japanese locale that the editor's users have.
  LC_ALL=ja_JP.UTF-8 timeout 120 "$WINE" "$win/win32-tests/dialog_check.exe" vnt.auo $shot >dialog.out 2>&1 &
  pid=$!
  if [ -n "$shot" ]; then
    for _ in $(seq 1 300); do [ -s dialog.ready ] && break; sleep 0.1; done
    if [ -s dialog.ready ]; then
      read -r x y w h < <(crlf dialog.ready)
      if xwd -root -silent | xwdtopnm 2>/dev/null | pamcut -left "$x" -top "$y" -width "$w" -height "$h" |
        pnmtopng >"$win/config_dialog.png"; then
        echo "screenshot ${w}x${h} at $x,$y: $win/config_dialog.png"
      fi
    fi
    touch dialog.go
  fi
  wait $pid
  rc=$?
  cat dialog.out
  [ $rc -eq 0 ] || return 1
  [ -z "$shot" ] || [ -s "$win/config_dialog.png" ] || { echo "no screenshot was taken"; return 1; }
}

# --- our codec (vntcodec.dll) ------------------------------------------------

drivers32_value() { # name -> the codec file it names, or nothing
  "$WINE" reg query "$drivers32" /v "$1" 2>/dev/null | tr -d '\r' |
    awk -v n="$1" 'tolower($1) == tolower(n) { print $3 }'
}
# Registers our codec for the running check, and unregisters it when the
# check ends, giving MP42 back to the test codec.
vntcodec_register() {
  [ -f "$sys32/vntcodec.dll" ] || { echo "vntcodec.dll was not built (see the FFmpeg lines above)"; return 1; }
  trap vntcodec_unregister EXIT
  "$WINE" regsvr32 /s vntcodec.dll >/dev/null 2>&1 || { echo "regsvr32 vntcodec.dll failed"; return 1; }
}
vntcodec_unregister() { "$WINE" regsvr32 /s /u vntcodec.dll >/dev/null 2>&1; reg_add "$drivers32" VIDC.MP42 testcodec.dll; }

# regsvr32 installs our codec for every FourCC of the drivers' table (in
# place of the test codec's MP42); each codec describes itself, has no
# dialog, keeps its state block and codes key and delta frames; regsvr32 /u
# removes our entries and leaves another codec's.
check_vntcodec() {
  local ok=0 fcc value
  vntcodec_register || return 1
  for fcc in MP42 MP43 DIV3 DIV4 MPG4; do
    value=$(drivers32_value "vidc.$fcc")
    [ "$value" = vntcodec.dll ] || fault "after regsvr32, vidc.$fcc names '$value'"
  done
  "$WINE" "$win/win32-tests/vntcodec_check.exe" probe MP42 MP43 DIV3 DIV4 MPG4 >probe.txt 2>&1 || ok=1
  crlf probe.txt
  reg_add "$drivers32" vidc.DIV4 other.dll
  "$WINE" regsvr32 /s /u vntcodec.dll >/dev/null 2>&1 || fault "regsvr32 /u vntcodec.dll failed"
  value=$(drivers32_value vidc.MP43)
  [ -z "$value" ] || fault "after regsvr32 /u, vidc.MP43 still names '$value'"
  value=$(drivers32_value vidc.DIV4)
  [ "$value" = other.dll ] || fault "regsvr32 /u took another codec's vidc.DIV4 ('$value')"
  "$WINE" reg delete "$drivers32" /v vidc.DIV4 /f >/dev/null 2>&1
  return $ok
}

# A file of our codec against its decoder, ffmpeg and the Linux program's file
# for the same clip and settings (tests/win32/wine_checks.py peer).
peer_and_linux() { python3 "$tests/wine_checks.py" peer "$WINE" "$win/win32-tests/vntcodec_check.exe" "$@"; }

# twopass.exe with vntcodec.dll: real MPEG-4 for clips of several sizes with
# MP42, MP43 and MPG4 (150 and 350 pixels wide: rows padded to 4 bytes), at a
# bit rate low enough, and by a block-noise rule strict enough (16 pixels: the
# codec keeps its deltas clear of the default one), that the check redoes
# delta frames as key frames with the real codec.
real_codec_run() { # width height codec-letter fourcc
  local width=$1 height=$2 letter=$3 fcc=$4 frames=50 ok=0 result
  local args=(-q -l -b -v "$letter" -r 300 -k 1 -s 3 -p 16)
  make_reference_clip "$width" "$height" $frames 25 || return 1
  wine_run "$win/twopass.exe" "${args[@]}" in.avi out.avi || return 1
  ./twopass "${args[@]}" in.avi linux.avi >/dev/null 2>&1 || { echo "the Linux twopass failed"; return 1; }
  result=$(peer_and_linux out.avi "$fcc" "$width" "$height" $frames linux.avi) || ok=1
  echo "$fcc ${width}x${height}: $result"
  echo "redone $(crlf out.log | grep -c ' - bad block')"
  return $ok
}

check_real_codec() {
  local ok=0 redone=0 size w h letter fcc
  vntcodec_register || return 1
  cp "$linux_build/twopass" ./twopass 2>/dev/null || { echo "no Linux build at $linux_build"; return 1; }
  for size in "160 120 2 MP42" "352 288 3 MP43" "176 144 3 MP43" "320 240 2 MP42" "150 100 2 MP42" "350 240 3 MP43" \
    "350 240 1 MPG4"; do
    read -r w h letter fcc <<<"$size"
    mkdir -p "$w-$fcc" && cp twopass "$w-$fcc/"
    (cd "$w-$fcc" && real_codec_run "$w" "$h" "$letter" "$fcc") >"$w-$fcc.out" 2>&1 || ok=1
    grep -v '^redone ' "$w-$fcc.out"
    redone=$((redone + $(sed -n 's/^redone //p' "$w-$fcc.out" | head -n 1 | grep . || echo 0)))
  done
  [ "$redone" -ge 1 ] || fault "no delta frame was redone for block noise with the real codec"
  echo "frames redone for block noise: $redone"
  return $ok
}

# The same through vnt-host.exe and vnt.auo, with MP43.
check_plugin_real_codec() {
  local ok=0 width=352 height=288 frames=50 host=$linux_build/vnt-host result
  local args=(--defaults -q -l -v 3 -r 300 -k 1 -s 3)
  vntcodec_register || return 1
  make_reference_clip $width $height $frames 25 || return 1
  cp "$win/vnt.auo" "$win/vnt-host.exe" .
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg "${args[@]}" in.avi out.avi || return 1
  if [ -x "$host" ] && [ -f "$linux_build/vnt.auo" ]; then
    "$host" --plugin "$linux_build/vnt.auo" --config-file linux.cfg "${args[@]}" in.avi linux.avi >/dev/null 2>&1 ||
      fault "the Linux vnt-host failed"
  else
    fault "no Linux vnt-host in $linux_build"
  fi
  result=$(peer_and_linux out.avi MP43 $width $height $frames linux.avi) || ok=1
  echo "MP43 ${width}x${height} via vnt.auo: $result"
  return $ok
}

# --- vnt.auo2, under the 64-bit loader with build-win64 (wine64_use) ---------

# vnt.auo2 and vnt-host2.exe stand alone: PE32+, the system's libraries their
# only imports, vnt.auo2's entries exported under their plain names.
check_auo2_modules() {
  wine64_use || return
  python3 "$tests/wine_checks.py" auo2_modules "$objdump" "$win"
}

# vnt.auo2's settings file, as the dialog would keep it: key=value lines.
auo2_settings() { printf 'vnt.auo2 settings\n'; printf '%s\n' "$@"; }
# The settings of check_plugin_real_codec, with a strict block-noise rule
# (16 pixels) so that the real codec has delta frames redone.
auo2_vnt_host_args=(--defaults -q -l --codec-index 2 -r 300 -k 1 -s 3 -p 16 --audio pcm)
auo2_file_settings=(codec_index=2 bit_rate=300 key_seconds=1 scene_level=3 pixel_threshold=16 log_enabled=1)
video_md5() { ffmpeg -v error -i "$1" -map 0:v -c copy -f framemd5 - | grep -v '^#'; }

# An export through vnt-host2.exe and vnt.auo2 with our codec (vntcodec.dll,
# 64-bit) and the host's sound: every frame there, ffprobe without a word,
# the host's PCM kept, and the video stream and log byte for byte what the
# 64-bit vnt.auo writes through vnt-host.exe in this prefix for the same
# pictures and settings, frames redone for block noise among them.
check_auo2_export() {
  local ok=0 frames redone
  wine64_use || return
  vntcodec_register || return 1
  make_reference_clip 352 288 50 25 && audio_clip pcm -c:a pcm_s16le || return 1
  cp "$win/vnt.auo" "$win/vnt-host.exe" "$win/vnt.auo2" "$win/vnt-host2.exe" .
  wine_run vnt-host.exe --plugin vnt.auo --config-file host.cfg "${auo2_vnt_host_args[@]}" pcm.avi ref.avi ||
    { echo "(vnt.auo, the reference)"; return 1; }
  mkdir cfg && auo2_settings "${auo2_file_settings[@]}" >cfg/vnt.auo2.conf
  wine_run vnt-host2.exe --config-dir "$(winpath "$PWD/cfg")" -q pcm.avi out.avi || return 1
  crlf stderr.txt | grep -q '^vnt-host2: log ' && fault "vnt.auo2 logged:" "$(crlf stderr.txt | grep '^vnt-host2: log ')"
  stream_is out.avi codec_tag_string=MP43 nb_read_packets=50 width=352 height=288
  audio_is out.avi pcm_s16le 768000
  [ "$(audio_bytes out.avi)" = "$(audio_bytes pcm.avi)" ] || fault "out.avi: the PCM differs from the host's"
  frames=$(video_md5 out.avi | wc -l)
  [ "$frames" -eq 50 ] || fault "out.avi: $frames video packets, want 50"
  [ "$(video_md5 out.avi)" = "$(video_md5 ref.avi)" ] || fault "out.avi: the video differs from vnt.auo's ref.avi"
  [ "$(crlf out.log | tail -n +2)" = "$(crlf ref.log | tail -n +2)" ] || fault "out.log differs from vnt.auo's ref.log"
  redone=$(crlf out.log | grep -c ' - bad block')
  [ "$redone" -ge 1 ] || fault "no frame was redone for block noise"
  echo "MP43 352x288 via vnt.auo2: 50 frames as vnt.auo's, $redone redone for block noise"
  return $ok
}

# A Japanese output name with a character outside the Basic Multilingual
# Plane, in a folder of a Japanese name: vnt-host2.exe reads it as UTF-16 and
# vnt.auo2 opens it through the engine's wide entry (vnt-host2.exe has the
# UTF-8 code page, for Wine's AVIFileOpenW); the log beside it names it.
check_auo2_unicode_name() {
  local ok=0 name=出力𠮷
  wine64_use || return
  vntcodec_register || return 1
  mkdir 日本語 && cd 日本語 || return 1
  # 2 s of video beside 1.8 s of sound: with sound longer than the video, Wine's AVIFile
  # writes a file (through vnt.auo alike) that ffmpeg reads one frame of.
  make_reference_clip 160 120 50 25 && audio_clip pcm -c:a pcm_s16le || return 1
  cp "$win/vnt.auo2" "$win/vnt-host2.exe" .
  mkdir cfg && auo2_settings codec_index=2 log_enabled=1 >cfg/vnt.auo2.conf
  wine_run vnt-host2.exe --config-dir "$(winpath "$PWD/cfg")" -q pcm.avi "$name.avi" || return 1
  [ -f "$name.avi" ] || { fault "no file $name.avi:" "$(ls)"; return 1; }
  stream_is "$name.avi" nb_read_packets=50
  [ "$(crlf "$name.log" | head -n 1)" = "[$name.avi]" ] || fault "$name.log does not start with [$name.avi]"
  return $ok
}

# vnt.auo2's settings dialog on Wine's dialog manager, a Unicode dialog (no
# Japanese locale needed); a screenshot lands in build-win64/config_dialog2.png.
check_auo2_dialog() {
  wine64_use || return
  [ -n "${DISPLAY:-}" ] || { echo "no X display (xvfb-run missing)"; return 1; }
  cp "$win/vnt.auo2" .
  local shot="" pid rc x y w h
  command -v xwd >/dev/null && command -v xwdtopnm >/dev/null && command -v pnmtopng >/dev/null && shot=--shot
  rm -f "$win/config_dialog2.png"
  timeout 120 "$WINE" "$win/win32-tests/dialog2_check.exe" vnt.auo2 $shot >dialog.out 2>&1 &
  pid=$!
  if [ -n "$shot" ]; then
    for _ in $(seq 1 300); do [ -s dialog.ready ] && break; sleep 0.1; done
    if [ -s dialog.ready ]; then
      read -r x y w h < <(crlf dialog.ready)
      if xwd -root -silent | xwdtopnm 2>/dev/null | pamcut -left "$x" -top "$y" -width "$w" -height "$h" |
        pnmtopng >"$win/config_dialog2.png"; then
        echo "screenshot ${w}x${h} at $x,$y: $win/config_dialog2.png"
      fi
    fi
    touch dialog.go
  fi
  wait $pid
  rc=$?
  cat dialog.out
  [ $rc -eq 0 ] || return 1
  [ -z "$shot" ] || [ -s "$win/config_dialog2.png" ] || { echo "no screenshot was taken"; return 1; }
}

# --- the run -----------------------------------------------------------------
# Every check_* function in the order defined, or those named as arguments.
all=()
while read -r name _; do all+=("${name#check_}"); done < <(
  shopt -s extdebug
  for f in $(compgen -A function check_); do declare -F "$f"; done | sort -k2,2n)
[ $# -gt 0 ] && checks=("$@") || checks=("${all[@]}")
# A check that answers 77 can't run here (its output says why): it is named
# as not run, and fails nothing.
failed=() not_run=()
for name in "${checks[@]}"; do
  if ! declare -F "check_$name" >/dev/null; then
    echo "  FAIL $name: no such check (the checks: ${all[*]})"; failed+=("$name"); continue
  fi
  mkdir -p "$work/$name"
  out=$(cd "$work/$name" && "check_$name" 2>&1)
  rc=$?
  if [ $rc -eq 0 ]; then
    echo "  PASS $name"
  elif [ $rc -eq 77 ]; then
    echo "  NOT RUN $name: see below"; not_run+=("$name")
  else
    echo "  FAIL $name: see below"; failed+=("$name")
  fi
  [ -z "$out" ] || sed 's/^/    /' <<<"$out"
done
[ ${#not_run[@]} -eq 0 ] || echo "wine.sh: not run here: ${not_run[*]}"
[ ${#failed[@]} -eq 0 ] || { echo "wine.sh: failed: ${failed[*]}"; exit 1; }
