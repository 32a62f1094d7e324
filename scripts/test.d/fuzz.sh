#!/usr/bin/env bash
# Fuzzes the AVI reader (open, stream information, every frame) for about a
# minute with libFuzzer, seeded with small files made by ffmpeg and by our
# writer, then the MPG4 rewriter's parser for half that, seeded with pictures
# of libavcodec's version 2 encoder. Exits 0 when nothing was found, 1 on a
# finding or a build failure, 77 when clang's fuzzer runtime is not installed.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
top=$(pwd)
seconds=${FUZZ_SECONDS:-60}
. "$top/scripts/fuzz_prelude.sh"
fuzz_build fuzz.sh avi_fuzz make_seeds mpg4_fuzz mpg4_seeds

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

fuzz avi_fuzz "$seconds" "$corpus" "$seeds" || exit 1
fuzz mpg4_fuzz $(( (seconds + 1) / 2 )) "$out/mpg4_corpus" "$mpg4_seeds" || exit 1
echo "fuzz.sh: no findings"
exit 0
