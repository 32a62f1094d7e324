#!/usr/bin/env bash
# twopass beside ffmpeg on the same clips: for each clip the median wall time,
# processor time (user + system) and peak memory of each over RUNS runs taken
# in turn (twopass, ffmpeg, twopass, ...), and ours / ffmpeg.
#   bench/compare.sh [clip ...]
# A clip is a video file (converted once to a raw BGR24 AVI, so that both
# sides read the same uncompressed frames) or a lavfi source name, made at
# SIZE with FRAMES frames at FPS. Default: mandelbrot testsrc2.
# Both sides: MP42 (msmpeg4v2) at RATE kbit/s (3000), a key frame at least
# every KEY seconds (8; ffmpeg -g KEY x FPS + 1, twopass's key distance),
# ffmpeg with -threads 1 (msmpeg4v2 has no threading of its own anyway).
# Environment: RUNS (5), SIZE (640x480), FRAMES (300), FPS (25), RATE, KEY,
# TWOPASS (build/twopass, built when missing). Needs /usr/bin/time.
#
# REFERENCE=DIR|PROGRAM puts a twopass whose MP42 is coded by the other
# encoder (CMake's TWOPASS_MP42_ENCODER: own or libavcodec) in ffmpeg's place,
# with the same options: PROGRAM as it is, or DIR/twopass, DIR configured
# (-DTWOPASS_MP42_ENCODER=<the one TWOPASS's build does not use>
# -DTWOPASS_TESTS=OFF) when it has no build yet and brought up to date, e.g.
#   REFERENCE=build-reference bench/compare.sh mandelbrot
# The rows and the ratio are then labelled by each side's encoder (own,
# libavcodec), and the frames each side redid are counted.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-5}
size=${SIZE:-640x480}
frames=${FRAMES:-300}
fps=${FPS:-25}
rate=${RATE:-3000}
key=${KEY:-8}
gop=$((key * fps + 1))
twopass=${TWOPASS:-build/twopass}
if [ -z "${TWOPASS:-}" ] && [ ! -x build/twopass ]; then
  [ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
  cmake --build build -j 2 --target twopass >/dev/null
fi
ref_twopass=""
if [ -n "${REFERENCE:-}" ]; then
  . bench/reference.sh
  reference_setup compare.sh "$twopass" "$REFERENCE" twopass
fi
/usr/bin/time -v true 2>/dev/null || { echo "compare.sh: needs /usr/bin/time (Debian package time)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/twopass-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# measure NAME COMMAND...: appends "wall cpu rss_kib" to $work/NAME.runs
measure() {
  local name=$1; shift
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" || { cat "$work/err.txt"; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" -F': ' '
    /User time|System time/ {cpu += $2}
    /Maximum resident set size/ {rss = $2}
    END {printf "%.3f %.3f %d\n", b - a, cpu, rss}' "$work/time.txt" >>"$work/$name.runs"
}

# median COLUMN FILE
median() { awk -v c="$1" '{print $c}' "$2" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

clips=("$@")
[ ${#clips[@]} -gt 0 ] || clips=(mandelbrot testsrc2)
# The sides' labels, and the column wide enough for them.
if [ -n "$ref_twopass" ]; then
  labels=("$ours_label" "$ref_label")
  width=$(( ${#ours_label} > ${#ref_label} ? ${#ours_label} : ${#ref_label} ))
  width=$(( width > 8 ? width : 8 ))
  printf 'MP42 by %s (%s) beside MP42 by %s (%s)\n' "$ours_label" "$twopass" "$ref_label" "$ref_twopass"
else
  labels=(twopass ffmpeg)
  width=8
fi
printf 'RATE %s kbit/s, key %s s (gop %s), %s runs each, taken in turn; load before: %s\n' \
  "$rate" "$key" "$gop" "$runs" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-14s %-${width}s %9s %9s %9s %10s %11s\n" clip "" "wall (s)" "cpu (s)" "cpu/wall" "peak MiB" "size (B)"
for clip in "${clips[@]}"; do
  input=$work/input.avi
  if [ -f "$clip" ]; then
    name=$(basename "${clip%.*}")
    ffmpeg -nostdin -y -v error -i "$clip" -an -frames:v "$frames" -c:v rawvideo -pix_fmt bgr24 -r "$fps" "$input"
  else
    name=$clip
    ffmpeg -nostdin -y -v error -f lavfi -i "$clip=size=$size:rate=$fps" -frames:v "$frames" \
      -c:v rawvideo -pix_fmt bgr24 "$input"
  fi
  rm -f "$work"/*.runs
  # The other side: ffmpeg, or the reference twopass with our options.
  if [ -n "$ref_twopass" ]; then
    theirs_cmd=("$ref_twopass" -q -v2 -r "$rate" -k "$key" "$input" "$work/theirs.avi")
  else
    theirs_cmd=(ffmpeg -nostdin -y -v error -i "$input" -an -c:v msmpeg4v2 -b:v "${rate}k" -g "$gop" -threads 1
      "$work/theirs.avi")
  fi
  # One untimed run each, so that both start with the input in the page cache.
  "$twopass" -q -v2 -r "$rate" -k "$key" "$input" "$work/ours.avi" 2>/dev/null
  "${theirs_cmd[@]}"
  for _ in $(seq "$runs"); do
    measure ours "$twopass" -q -v2 -r "$rate" -k "$key" "$input" "$work/ours.avi"
    measure theirs "${theirs_cmd[@]}"
  done
  for side in ours theirs; do
    wall=$(median 1 "$work/$side.runs"); cpu=$(median 2 "$work/$side.runs"); rss=$(median 3 "$work/$side.runs")
    printf -v "${side}_wall" '%s' "$wall"; printf -v "${side}_cpu" '%s' "$cpu"; printf -v "${side}_rss" '%s' "$rss"
    label=$([ $side = ours ] && echo "${labels[0]}" || echo "${labels[1]}")
    file=$work/$side.avi
    awk -v n="$name" -v s="$label" -v w="$wall" -v c="$cpu" -v r="$rss" -v z="$(stat -c %s "$file")" -v lw="$width" \
      'BEGIN {printf "%-14s %-" lw "s %9.2f %9.2f %9.2f %10.1f %11d\n", n, s, w, c, c / w, r / 1024, z}'
  done
  # redid PROGRAM: the frames a twopass run coded twice, from its log.
  redid() { "$1" -q -v2 -r "$rate" -k "$key" -l "$input" "$work/log.avi" 2>/dev/null && grep -c ' - ' "$work/log.log" || true; }
  redone=$(redid "$twopass")
  if [ -n "$ref_twopass" ]; then
    ref_redone=$(redid "$ref_twopass")
    awk -v n="$name" -v w1="$ours_wall" -v w2="$theirs_wall" -v c1="$ours_cpu" -v c2="$theirs_cpu" \
      -v r1="$ours_rss" -v r2="$theirs_rss" -v d="$redone" -v d2="$ref_redone" -v f="$frames" \
      -v a="${labels[0]}" -v b="${labels[1]}" \
      'BEGIN {printf "%-14s %s/%s: wall %.2f, cpu %.2f, peak memory %.2f; %s redid %d, %s %d of %d frames\n",
              n, a, b, w1 / w2, c1 / c2, r1 / r2, a, d, b, d2, f}'
  else
    awk -v n="$name" -v w1="$ours_wall" -v w2="$theirs_wall" -v c1="$ours_cpu" -v c2="$theirs_cpu" \
      -v r1="$ours_rss" -v r2="$theirs_rss" -v d="$redone" -v f="$frames" \
      'BEGIN {printf "%-14s ours/ffmpeg: wall %.2f, cpu %.2f, peak memory %.2f; twopass redid %d of %d frames\n",
              n, w1 / w2, c1 / c2, r1 / r2, d, f}'
  fi
done
