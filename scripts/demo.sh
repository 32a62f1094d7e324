#!/usr/bin/env bash
# Sets up, builds, and shows what twopass does: makes a sample clip, encodes
# it, and says where the results are. Everything lands in demo-out/.
#   scripts/demo.sh            640x480, 5 seconds
#   DEMO_SECONDS=20 scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh
# Only the programs the demo runs; the test suite shares this build folder.
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target twopass vfapi_reader vnt_auo vnt-host

out=demo-out
mkdir -p "$out"
seconds=${DEMO_SECONDS:-5}

echo
echo "== making a ${seconds}-second 640x480 sample clip (Motion JPEG in AVI, with a tone)"
ffmpeg -nostdin -y -v error \
  -f lavfi -i "testsrc2=size=640x480:rate=30" -f lavfi -i "sine=frequency=440" \
  -t "$seconds" -c:v mjpeg -q:v 3 -c:a pcm_s16le "$out/sample.avi"

echo
echo "== twopass -l $out/sample.avi $out/sample-mp42.avi"
build/twopass -l "$out/sample.avi" "$out/sample-mp42.avi"

# Input that is not AVI goes through a VFAPI reader plug-in found in the
# registry. The demo lists the bundled reader in a registry file of its own;
# yours is ~/.config/twopass/registry.reg (see README).
echo
echo "== the same clip as MP4, read through the VFAPI reader plug-in"
ffmpeg -nostdin -y -v error -i "$out/sample.avi" -an -c:v mpeg4 -q:v 2 "$out/sample.mp4"
cat >"$out/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\VFPlugin]
"vfapi-reader"="$top/build/vfapi-reader.so"
REG
echo "twopass -v3 -r 2000 $out/sample.mp4 $out/sample-mp43.avi"
TWOPASS_REGISTRY="$top/$out/registry.reg" build/twopass -v3 -r 2000 "$out/sample.mp4" "$out/sample-mp43.avi"

echo
echo "== results in $out/"
for f in sample-mp42.avi sample-mp43.avi; do
  info=$(ffprobe -v error -select_streams v:0 -count_packets \
    -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$out/$f")
  printf '  %-16s %8d bytes  (%s)\n' "$f" "$(stat -c %s "$out/$f")" "$info"
done
echo "  sample-mp42.log   the encoding log: one line per frame, *** marks key frames"
echo
echo "first lines of the log:"
head -n 8 "$out/sample-mp42.log"
