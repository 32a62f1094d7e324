# Sourced by the libFuzzer checks in scripts/test.d: fuzz_prelude NAME finds
# clang++ with its fuzzer runtime and FFmpeg's libraries, or exits 77 saying
# what is missing. Sets cxx, libs and out (build-fuzz, created).
fuzz_prelude() {
  local name=$1 c
  out=$top/build-fuzz
  cxx=""
  for c in clang++-14 clang++; do
    if command -v "$c" >/dev/null 2>&1; then cxx=$c; break; fi
  done
  if [ -z "$cxx" ]; then echo "$name: clang++ is not installed"; exit 77; fi
  for c in ffmpeg pkg-config; do
    command -v "$c" >/dev/null 2>&1 || { echo "$name: $c is not installed"; exit 77; }
  done
  mkdir -p "$out"
  local probe=$out/probe_${name%.sh}
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe.cpp"
  if ! "$cxx" -fsanitize=fuzzer "$probe.cpp" -o "$probe" >/dev/null 2>&1; then
    echo "$name: $cxx has no libFuzzer runtime (libclang-rt-14-dev)"
    exit 77
  fi
  libs=$(pkg-config --cflags --libs libavcodec libavformat libswscale libavutil) || { echo "$name: FFmpeg libraries missing"; exit 77; }
}
