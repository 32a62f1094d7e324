#!/usr/bin/env bash
# twopass beside ffmpeg on the same input: wall time, output size and peak
# memory of each, and the time ratio.
#   bench/compare.sh [input.avi]     default: a 640x480 clip made here
# Settings on both sides: MP42 (msmpeg4v2) at 3000 kbit/s, key frames at
# least every 240 frames (twopass: 8 s at 30 fps). Uses build/twopass (built
# when missing; TWOPASS=path picks another) and /usr/bin/time for the memory
# figures when present. BENCH_FRAMES sets the clip's length.
set -euo pipefail
cd "$(dirname "$0")/.."

frames=${BENCH_FRAMES:-600}
work=$(mktemp -d "${TMPDIR:-/tmp}/twopass-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

twopass=${TWOPASS:-build/twopass}
if [ -z "${TWOPASS:-}" ] && [ ! -x build/twopass ]; then
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j 2 --target twopass >/dev/null
fi

input=${1:-}
if [ -z "$input" ]; then
  input=$work/input.avi
  echo "making a 640x480 clip of $frames frames at 30 fps (raw BGR24 AVI)"
  ffmpeg -nostdin -y -v error -f lavfi -i "testsrc2=size=640x480:rate=30" -frames:v "$frames" \
    -c:v rawvideo -pix_fmt bgr24 "$input"
fi

have_time=0
[ -x /usr/bin/time ] && /usr/bin/time -v true 2>/dev/null && have_time=1

# run NAME COMMAND...: wall seconds into NAME_wall, processor seconds (user
# + system, steadier than wall time on a busy machine) into NAME_cpu, peak KiB
# into NAME_rss.
run() {
  local name=$1; shift
  local start end report=$work/$name.time
  start=$(date +%s.%N)
  if [ $have_time -eq 1 ]; then
    /usr/bin/time -v -o "$report" "$@" 2>"$work/$name.err" >/dev/null
  else
    "$@" 2>"$work/$name.err" >/dev/null
  fi
  end=$(date +%s.%N)
  printf -v "${name}_wall" '%s' "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')"
  if [ $have_time -eq 1 ]; then
    printf -v "${name}_rss" '%s' "$(awk -F': ' '/Maximum resident set size/ {print $2}' "$report")"
    printf -v "${name}_cpu" '%s' "$(awk -F': ' '/User time|System time/ {t += $2} END {print t}' "$report")"
  else
    printf -v "${name}_rss" '%s' "n/a"
    printf -v "${name}_cpu" '%s' "n/a"
  fi
}

# One untimed run each first, so that both start with the input in the page cache.
"$twopass" -q "$input" "$work/warm.avi" 2>/dev/null
ffmpeg -nostdin -v error -i "$input" -f null - 
run twopass "$twopass" -q -v2 -r 3000 -k 8 "$input" "$work/twopass.avi"
run ffmpeg ffmpeg -nostdin -y -v error -i "$input" -an -c:v msmpeg4v2 -b:v 3000k -g 240 "$work/ffmpeg.avi"

size() { stat -c %s "$1"; }
printf '%-8s %10s %10s %14s %14s\n' "" "wall (s)" "cpu (s)" "size (bytes)" "peak RSS (KiB)"
printf '%-8s %10.2f %10s %14d %14s\n' twopass "$twopass_wall" "$twopass_cpu" "$(size "$work/twopass.avi")" "$twopass_rss"
printf '%-8s %10.2f %10s %14d %14s\n' ffmpeg "$ffmpeg_wall" "$ffmpeg_cpu" "$(size "$work/ffmpeg.avi")" "$ffmpeg_rss"
awk -v a="$twopass_wall" -v b="$ffmpeg_wall" 'BEGIN {printf "time ratio twopass / ffmpeg: %.2f (wall)\n", a / b}'
if [ $have_time -eq 1 ]; then
  awk -v a="$twopass_cpu" -v b="$ffmpeg_cpu" 'BEGIN {printf "time ratio twopass / ffmpeg: %.2f (cpu)\n", a / b}'
fi
