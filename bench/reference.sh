# shellcheck shell=bash
# Sourced by bench/compare.sh and bench/rate_sweep.sh for their REFERENCE
# mode: our twopass beside a twopass whose MP42 is coded by the other
# encoder (the build setting TWOPASS_MP42_ENCODER, own or libavcodec).

# mp42_encoder DIR|PROGRAM: the MP42 encoder of a build folder (or of the
# folder a program lies in), from its CMake cache; nothing when there is no
# cache. A cache from before the setting existed is libavcodec's.
mp42_encoder() {
  local dir=$1
  [ -d "$dir" ] || dir=$(dirname "$dir")
  [ -f "$dir/CMakeCache.txt" ] || return 0
  local v
  v=$(sed -n 's/^TWOPASS_MP42_ENCODER:[A-Z]*=//p' "$dir/CMakeCache.txt")
  echo "${v:-libavcodec}"
}

# reference_setup SCRIPT OURS REFERENCE TARGET...: REFERENCE is a twopass
# program, used as it is, or a build folder, configured when it has no build
# yet with the encoder OURS (our twopass) does not use, and its TARGETs built
# (nothing to do when they are up to date). Sets ref_twopass (the program),
# ref_dir (the folder), ours_label and ref_label (the encoder of each side,
# "ours" / "reference" when a side's build can't tell). Exits 1 when the
# reference can't be built or codes MP42 with the same encoder as ours.
reference_setup() {
  local script=$1 ours=$2 reference=$3
  shift 3
  ours_label=$(mp42_encoder "$ours")
  if [ -f "$reference" ] && [ -x "$reference" ]; then
    ref_twopass=$reference
    ref_dir=$(dirname "$reference")
  else
    ref_dir=$reference
    ref_twopass=$ref_dir/twopass
    if [ ! -f "$ref_dir/build.ninja" ]; then
      local other
      case $ours_label in
        own) other=libavcodec ;;
        libavcodec) other=own ;;
        *) echo "$script: can't tell which MP42 encoder $ours has (no CMake cache beside it): name a REFERENCE build"; exit 1 ;;
      esac
      echo "$script: configuring $ref_dir with TWOPASS_MP42_ENCODER=$other" >&2
      cmake -S . -B "$ref_dir" -G Ninja -DTWOPASS_MP42_ENCODER="$other" -DTWOPASS_TESTS=OFF >/dev/null ||
        { echo "$script: configuring $ref_dir failed"; exit 1; }
    fi
    cmake --build "$ref_dir" -j 2 --target "$@" >"$ref_dir/reference-build.log" 2>&1 ||
      { tail -n 20 "$ref_dir/reference-build.log"; echo "$script: building $* in $ref_dir failed"; exit 1; }
  fi
  ref_label=$(mp42_encoder "$ref_twopass")
  : "${ours_label:=ours}" "${ref_label:=reference}"
  if [ "$ours_label" = "$ref_label" ]; then
    echo "$script: $ours and $ref_twopass both code MP42 with the $ours_label encoder"
    exit 1
  fi
}
