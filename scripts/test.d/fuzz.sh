#!/usr/bin/env bash
# Fuzzes the AVI reader (open, stream information, every frame) for about a
# minute with libFuzzer, seeded with small files made by ffmpeg and by our
# writer, then the MPG4 rewriter's parser for half that, seeded with pictures
# of libavcodec's version 2 encoder, then our own version 2 coder and its
# motion search against libavcodec's decoder for half that, seeded with a few
# picture sequences. Exits 0 when nothing was found, 1 on a finding or a build
# failure, 77 when clang's fuzzer runtime is not installed.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
top=$(pwd)
seconds=${FUZZ_SECONDS:-60}
. "$top/scripts/fuzz_prelude.sh"
fuzz_build fuzz.sh avi_fuzz make_seeds mpg4_fuzz mpg4_seeds v2enc_fuzz

seeds=$out/seeds
corpus=$out/corpus
mkdir -p "$seeds" "$corpus"
mk() { ffmpeg -nostdin -y -v error "$@" || echo "fuzz.sh: could not make seed ${*: -1}"; }
v="testsrc2=size=32x24:rate=25"
mk -f lavfi -i "$v" -frames:v 4 -c:v rawvideo -pix_fmt bgr24 "$seeds/bgr24.avi"
mk -f lavfi -i "testsrc2=size=34x22:rate=25" -frames:v 3 -c:v rawvideo -pix_fmt bgr24 "$seeds/bgr24_odd.avi"
mk -f lavfi -i "$v" -frames:v 3 -c:v rawvideo -pix_fmt pal8 "$seeds/pal8.avi"
mk -f lavfi -i "$v" -frames:v 3 -c:v rawvideo -pix_fmt rgb555le "$seeds/rgb555.avi"
mk -f lavfi -i "$v" -frames:v 3 -c:v rawvideo -pix_fmt bgra "$seeds/bgra.avi"
mk -f lavfi -i "$v" -frames:v 4 -c:v mjpeg "$seeds/mjpeg.avi"
mk -f lavfi -i "$v" -frames:v 6 -c:v mpeg4 -vtag XVID -g 3 "$seeds/xvid.avi"
mk -f lavfi -i "$v" -frames:v 6 -c:v msmpeg4v2 -g 3 "$seeds/mp42.avi"
mk -f lavfi -i "$v" -frames:v 6 -c:v msmpeg4 -g 3 "$seeds/mp43.avi"
mk -f lavfi -i "$v" -f lavfi -i "sine=sample_rate=8000:duration=0.2" -map 1:a -map 0:v -t 0.2 -c:a pcm_u8 \
  -c:v msmpeg4v2 -g 2 "$seeds/audio_first.avi"
if ! "$out/make_seeds" "$seeds"; then echo "fuzz.sh: the seed maker failed"; exit 1; fi
# Earlier findings are seeds too.
cp -f tests/platform/data/avi_regress/* "$seeds/" 2>/dev/null || true

# fuzz NAME SECONDS CORPUS SEEDS: runs one target; returns its exit code.
fuzz() {
  local name=$1 secs=$2 corpus=$3 seeds=$4 log=$out/$1.log
  echo "fuzz.sh: fuzzing $name for ${secs}s"
  (cd "$out" && ASAN_OPTIONS=detect_leaks=1 "./$name" -max_total_time="$secs" -rss_limit_mb=4096 -timeout=20 \
    -max_len=70000 -print_final_stats=1 "$corpus" "$seeds") >"$log" 2>&1
  local rc=$?
  grep -E '^(#[0-9]+ +DONE|Done [0-9]+ runs|stat::number_of_executed_units)' "$log" | sed "s/^/fuzz.sh: $name: /"
  if [ $rc -ne 0 ]; then
    echo "fuzz.sh: $name found a problem (exit $rc); log in $log, inputs in $out/crash-* / leak-* / timeout-*"
    tail -n 40 "$log"
  fi
  return $rc
}

mpg4_seeds=$out/mpg4_seeds_dir
mkdir -p "$mpg4_seeds" "$out/mpg4_corpus"
if ! "$out/mpg4_seeds" "$mpg4_seeds"; then echo "fuzz.sh: the MPG4 seed maker failed"; exit 1; fi

# Our coder's seeds (tests/fuzz/v2enc_fuzz.cpp reads them): width - 1, height
# - 1, content | (pictures - 1) << 2 | header << 5, two seed bytes, then per
# picture flags (1 key, 2 vectors from the input, 4/8 capacity class, 16
# noise), qp - 2, dx, dy, capacity; the rest is the input's vector pool.
v2_seeds=$out/v2enc_seeds
mkdir -p "$v2_seeds" "$out/v2enc_corpus"
# smooth 64x48, a key then deltas moving right and down, searched
printf '\x3f\x2f\x15\x12\x34\x01\x03\x00\x00\x00\x00\x06\x03\x01\x00\x00\x06\x06\x02\x00\x00\x1d\x09\x03\x00\x00\x00\x0c\x04\x00\x01\x06\x0c\x04\x00' \
  >"$v2_seeds/smooth_64x48"
# random 150x100 with noise, fine quantisers, capacities too small now and then
printf '\x95\x63\x0c\x77\x01\x01\x00\x00\x00\x00\x18\x01\xfe\x01\x20\x10\x01\xfe\x01\x00\x0c\x03\xfd\x00\x10' \
  >"$v2_seeds/random_150x100"
# blocky 17x9 with the extension header, vectors from the input's pool
printf '\x10\x08\x2e\x1b\x40\x01\x00\x00\x00\x00\x02\x04\x05\xfb\x00\x02\x1d\x0b\x02\x00\x7f\x80\x40\xc0\x20\xe0\x3f\x41' \
  >"$v2_seeds/blocky_17x9"
# the input's own bytes at 200x200, one key and one delta at a tight capacity
printf '\xc7\xc7\x07\x00\x00\x01\x00\x00\x00\x00\x08\x05\x02\x02\x40\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff' \
  >"$v2_seeds/bytes_200x200"

fuzz avi_fuzz "$seconds" "$corpus" "$seeds" || exit 1
fuzz mpg4_fuzz $(( (seconds + 1) / 2 )) "$out/mpg4_corpus" "$mpg4_seeds" || exit 1
fuzz v2enc_fuzz $(( (seconds + 1) / 2 )) "$out/v2enc_corpus" "$v2_seeds" || exit 1
echo "fuzz.sh: no findings"
exit 0
