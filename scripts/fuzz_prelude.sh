# shellcheck shell=bash disable=SC2154 # top: set by the sourcing script
# Sourced by the libFuzzer checks in scripts/test.d: fuzz_build NAME TARGET...
# finds clang++ with its fuzzer runtime, FFmpeg and the build tools, or exits
# 77 saying what is missing; then builds the TARGETs (tests/fuzz) in
# build-fuzz, configured with clang and -DTWOPASS_FUZZ=ON, or exits 1.
# Sets out (build-fuzz).
fuzz_build() {
  local name=$1 c cxx="" cc=""
  shift
  out=$top/build-fuzz
  for c in clang++-14 clang++; do
    if command -v "$c" >/dev/null 2>&1; then cxx=$c; break; fi
  done
  if [ -z "$cxx" ]; then echo "$name: clang++ is not installed"; exit 77; fi
  # The matching C compiler, so that the whole build is clang's.
  command -v "${cxx/clang++/clang}" >/dev/null 2>&1 && cc=${cxx/clang++/clang}
  for c in ffmpeg pkg-config cmake ninja; do
    command -v "$c" >/dev/null 2>&1 || { echo "$name: $c is not installed"; exit 77; }
  done
  pkg-config --exists libavcodec libavformat libswscale libswresample libavutil || { echo "$name: FFmpeg libraries missing"; exit 77; }
  mkdir -p "$out"
  local probe=$out/probe_${name%.sh} log=$out/build-${name%.sh}.log
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe.cpp"
  if ! "$cxx" -fsanitize=fuzzer "$probe.cpp" -o "$probe" >/dev/null 2>&1; then
    echo "$name: $cxx has no libFuzzer runtime (libclang-rt-14-dev)"
    exit 77
  fi
  echo "$name: building $* with $cxx in build-fuzz"
  if ! cmake -S "$top" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" ${cc:+-DCMAKE_C_COMPILER="$cc"} \
      -DCMAKE_BUILD_TYPE=Debug -DTWOPASS_FUZZ=ON -DTWOPASS_TESTS=OFF -DTWOPASS_BENCH=OFF >"$log" 2>&1 ||
     ! cmake --build "$out" -j "${TWOPASS_JOBS:-2}" --target "$@" >>"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$name: build of $* failed (see $log)"
    exit 1
  fi
}
