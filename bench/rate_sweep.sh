#!/usr/bin/env bash
# Rate sweep: twopass against ffmpeg's one-pass encoder of the same codec over
# a range of bit rates, on one or more clips.
#   bench/rate_sweep.sh [clip ...]
# A clip is a lavfi source name (mandelbrot, testsrc2; made at SIZE, FPS) or
# a video file (taken at its own size, retimed to FPS). Default: mandelbrot
# testsrc2. For each clip and codec (MP42 = msmpeg4v2, MP43 = msmpeg4; MPG4,
# which ffmpeg can't encode, against our own MP42 at the same rates) it
# prints, for ffmpeg (-b:v N -g <our key distance>) and for twopass (-r N,
# default settings otherwise), the size against the target N × 128 × seconds,
# key frames, delta and key frames that show block noise by the engine's rule
# when ffmpeg decodes the file (the detector's default thresholds), luma PSNR
# mean and minimum, and for ours ffmpeg's PSNR at our file size (interpolated
# in log size between ffmpeg's two nearest runs; "-" outside ffmpeg's range)
# and the difference. Then the verdict lines:
#   mono   size falls by more than 3 % from one asked rate to the next higher
#   psnr   our mean PSNR below ffmpeg's at the same size minus 0.5 dB
#   noise  any noisy delta frame, or more than 5 % noisy key frames
#   target size off the target by more than 5 % where ffmpeg at that rate
#          leaves at most 2 % of its delta frames noisy
#   capped under the target where ffmpeg's file is under it too: the codec's
#          finest quantiser holds both (not counted as a miss)
# Environment: SECONDS_PER_CLIP (8), FPS (25), SIZE (640x480), KEY (8 s),
# CODECS ("2 3"), OURS and THEIRS (the rate lists), EXTRA (more twopass
# options, e.g. "-c 1"), TWOPASS (build/twopass), CHECK (build/bench/noise_check),
# KEEP (a folder that keeps the prepared clips and ffmpeg's measurements
# between runs).
#
# REFERENCE=DIR|PROGRAM measures twopass against a twopass whose MP42 is
# coded by the other encoder (CMake's TWOPASS_MP42_ENCODER: own or
# libavcodec) instead of ffmpeg: PROGRAM as it is, or DIR/twopass, DIR
# configured (-DTWOPASS_MP42_ENCODER=<the one TWOPASS's build does not use>
# -DTWOPASS_TESTS=OFF) when it has no build yet, and its twopass and
# noise_check brought up to date. The reference rows are that twopass at
# OURS's rates with the same options, labelled by its encoder, ours by ours
# (e.g. "own" beside "libavcodec"); the verdicts read "the reference" for
# ffmpeg, and "target" counts where the reference lands within 5 % of it.
# Only MP42 differs between the two builds, so CODECS defaults to "2" here.
#   REFERENCE=build-reference bench/rate_sweep.sh mandelbrot
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${SECONDS_PER_CLIP:-8}
fps=${FPS:-25}
size=${SIZE:-640x480}
key=${KEY:-8}
codecs=${CODECS:-$([ -n "${REFERENCE:-}" ] && echo 2 || echo "2 3")}
ours=${OURS:-"500 750 1000 1500 2000 3000 4000 6000 8000"}
theirs=${THEIRS:-"250 350 500 750 1000 1500 2000 3000 4000 6000 8000 11000 16000"}
extra=${EXTRA:-}
twopass=${TWOPASS:-build/twopass}
check=${CHECK:-build/bench/noise_check}
if [ ! -x "$twopass" ] || [ ! -x "$check" ]; then
  [ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
  ninja -C build twopass noise_check >/dev/null
fi
ref_twopass=""
if [ -n "${REFERENCE:-}" ]; then
  . bench/reference.sh
  reference_setup rate_sweep.sh "$twopass" "$REFERENCE" twopass noise_check
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/rate-sweep.XXXXXX")
trap 'rm -rf "$work"' EXIT
keep=${KEEP:-$work}
mkdir -p "$keep"
frames=$((seconds * fps))
gop=$((key * fps + 1))  # twopass: key seconds × rate / scale + 1

# measure FILE.avi SOURCE.bgr W H: "frames keys noisy_delta noisy_key psnr_mean psnr_min"
measure() {
  ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$1" >"$work/keys.txt"
  ffmpeg -nostdin -v error -i "$1" -vf vflip -f rawvideo -pix_fmt bgr24 - | "$check" "$3" "$4" "$2" - "$work/keys.txt"
}

# prepare CLIP: sets src (raw AVI), raw (bottom-up frames), w, h, name
prepare() {
  local clip=$1
  if [ -f "$clip" ]; then
    name=$(basename "${clip%.*}")
    local input=(-r "$fps" -i "$clip")
  else
    name=$clip
    local input=(-f lavfi -i "$clip=size=$size:rate=$fps")
  fi
  src=$keep/$name.avi
  raw=$keep/$name.bgr
  if [ ! -s "$src" ]; then
    ffmpeg -nostdin -y -v error "${input[@]}" -frames:v "$frames" -an -sn -dn -c:v rawvideo -pix_fmt bgr24 "$src"
    ffmpeg -nostdin -y -v error -i "$src" -vf vflip -f rawvideo -pix_fmt bgr24 "$raw"
  fi
  read -r w h < <(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 "$src" | tr , ' ')
}

clips=("$@")
[ ${#clips[@]} -gt 0 ] || clips=(mandelbrot testsrc2)
for clip in "${clips[@]}"; do
  {
    prepare "$clip"
    n=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$src")
    for v in $codecs; do
      # MPG4 has no encoder in ffmpeg: its reference is our own MP42 at the same rates.
      # ref_bin/ref_v: the twopass and codec of the reference rows when they are ours.
      case $v in
        1) fcc=MPG4; lib=""; ref="twopass MP42"; who=MP42; ref_v=2 ;;
        2) fcc=MP42; lib=msmpeg4v2; ref=ffmpeg; who=ffmpeg ;;
        3) fcc=MP43; lib=msmpeg4; ref=ffmpeg; who=ffmpeg ;;
        *) echo "codec $v?"; exit 1 ;;
      esac
      ref_bin=$twopass
      mine=ours
      if [ -n "$ref_twopass" ]; then
        lib=""; ref="$ref_twopass (MP42 by $ref_label; ours by $ours_label)"; who=$ref_label; ref_v=$v
        ref_bin=$ref_twopass; mine=$ours_label
      fi
      table=$work/$name-$fcc
      : >"$table.ours"
      # ffmpeg's measurements depend only on the clip and these settings: KEEP keeps them too.
      cached=$keep/$name-$fcc-$seconds-$fps-$gop-$(echo "$theirs" | cksum | cut -d' ' -f1).ffmpeg
      if [ -n "$lib" ] && [ -s "$cached" ]; then
        cp "$cached" "$table.theirs"
      else
        : >"$table.theirs"
      fi
      [ -s "$table.theirs" ] || for r in $([ -n "$lib" ] && echo "$theirs" || echo "$ours"); do
        if [ -n "$lib" ]; then
          ffmpeg -nostdin -y -v error -i "$src" -c:v $lib -b:v "${r}k" -g $gop "$work/t.avi"
        else
          # shellcheck disable=SC2086
          "$ref_bin" -q -v "$ref_v" -r "$r" -k "$key" $extra "$src" "$work/t.avi"
        fi
        echo "$r $(stat -c %s "$work/t.avi") $(measure "$work/t.avi" "$raw" "$w" "$h")" >>"$table.theirs"
      done
      [ -z "$lib" ] || cp "$table.theirs" "$cached"
      for r in $ours; do
        # shellcheck disable=SC2086
        "$twopass" -q -v "$v" -r "$r" -k "$key" $extra "$src" "$work/o.avi"
        echo "$r $(stat -c %s "$work/o.avi") $(measure "$work/o.avi" "$raw" "$w" "$h")" >>"$table.ours"
      done
      echo
      echo "== $name ${w}x$h, $n frames at $fps fps, $fcc against $ref; key distance $gop frames; twopass options: -v $v ${extra:-(defaults)}"
      awk -v n="$n" -v fps="$fps" -v theirs="$table.theirs" -v ref_is_ours="$([ -n "$lib" ] && echo 0 || echo 1)" -v who="$who" \
          -v mine="$mine" -v at_size="$([ -n "$ref_twopass" ] && echo ref@size || echo ff@size)" '
        function target(r) { return r * 128 * n / fps }
        BEGIN {
          # The label column: 7 wide unless a label needs more.
          lw = length(who) > length(mine) ? length(who) : length(mine)
          if (lw < 7) lw = 7
          lab = "%-" lw "s "
          while ((getline line < theirs) > 0) {
            split(line, f, " ")
            m++; tr[m] = f[1]; ts[m] = f[2]; tk[m] = f[4]; tnd[m] = f[5]; tnk[m] = f[6]; tp[m] = f[7]; tmin[m] = f[8]
            at_rate[f[1]] = m
          }
          # ffmpeg runs sorted by size for the interpolation
          for (i = 1; i <= m; i++) order[i] = i
          for (i = 2; i <= m; i++) for (j = i; j > 1 && ts[order[j]] < ts[order[j-1]]; j--) { t = order[j]; order[j] = order[j-1]; order[j-1] = t }
          printf lab "%6s %9s %6s %5s %6s %6s %6s %6s\n", who, "kbit/s", "bytes", "size/t", "keys", "nDelta", "nKey", "PSNR", "min"
          for (i = 1; i <= m; i++)
            printf lab "%6d %9d %6.2f %5d %6d %6d %6.2f %6.2f\n", who, tr[i], ts[i], ts[i] / target(tr[i]), tk[i], tnd[i], tnk[i], tp[i], tmin[i]
          printf lab "%6s %9s %6s %5s %6s %6s %6s %6s %8s %6s  %s\n", mine, "kbit/s", "bytes", "size/t", "keys", "nDelta", "nKey", "PSNR", "min", at_size, "diff", "verdict"
        }
        function ff_at(s,   i, a, b, x) {
          if (s < ts[order[1]] || s > ts[order[m]]) return "-"
          for (i = 1; i < m; i++) {
            a = order[i]; b = order[i + 1]
            if (s >= ts[a] && s <= ts[b]) {
              if (ts[b] == ts[a]) return tp[a]
              x = (log(s) - log(ts[a])) / (log(ts[b]) - log(ts[a]))
              return tp[a] + x * (tp[b] - tp[a])
            }
          }
          return tp[order[m]]
        }
        {
          r = $1; s = $2; keys = $4; nd = $5; nk = $6; p = $7
          ff = ff_at(s); verdict = ""
          if (prev_s != "" && s < 0.97 * prev_s) verdict = verdict " mono"
          if (ff != "-" && p < ff - 0.5) verdict = verdict " psnr"
          if (nd > 0 || nk > 0.05 * $3) verdict = verdict " noise"
          k = at_rate[r]
          # Against ffmpeg: where it leaves at most 2 % of its deltas noisy. Against
          # our MP42: wherever that lands within 5 % of the target.
          if (k != "" && (ref_is_ours ? ts[k] >= 0.95 * target(r) && ts[k] <= 1.05 * target(r) : tnd[k] <= 0.02 * ($3 - tk[k])) &&
              (s < 0.95 * target(r) || s > 1.05 * target(r)))
            verdict = verdict (s < 0.95 * target(r) && ts[k] < 0.95 * target(r) ? " capped" : " target")
          if (ff == "-") verdict = verdict " (outside " who " range)"
          if (verdict == "") verdict = " ok"
          printf lab "%6d %9d %6.2f %5d %6d %6d %6.2f %6.2f %8s %6s %s\n", mine, r, s, s / target(r), keys, nd, nk, p, $8,
                 ff == "-" ? "-" : sprintf("%.2f", ff), ff == "-" ? "-" : sprintf("%+.2f", p - ff), verdict
          prev_s = s
        }' "$table.ours"
    done
  }
done
