#!/usr/bin/env bash
# Sets up, builds and runs every test: the suite as built normally, then the
# same suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Ends with a line of passed/failed/skipped counts; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh || { echo "test.sh: set-up failed"; exit 1; }

jobs=${TWOPASS_JOBS:-2}
total_passed=0
total_failed=0
total_skipped=0
failed_steps=()
skipped_steps=()

step_failed() { failed_steps+=("$1"); total_failed=$((total_failed + 1)); }

# Runs one CTest suite and adds its counts to the totals.
run_suite() {
  local name=$1 dir=$2 log
  shift 2
  log=$(mktemp)
  echo "== $name: tests"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 1200 "$@" 2>&1 | tee "$log"
  local line passed failed
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    step_failed "$name: ctest gave no summary"
  else
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((total - failed))
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    [ "$failed" -eq 0 ] || failed_steps+=("$name: $failed failed")
  fi
  rm -f "$log"
}

build() {
  local name=$1 dir=$2; shift 2
  echo "== $name: configure and build"
  if ! cmake -S "$top" -B "$dir" -G Ninja "$@" >/dev/null; then step_failed "$name: configure"; return 1; fi
  if ! cmake --build "$dir" -j "$jobs"; then step_failed "$name: build"; return 1; fi
}

if build "build" build -DTWOPASS_TESTS=ON -DTWOPASS_BENCH=ON -DTWOPASS_SANITIZE=OFF; then run_suite "build" build; fi
# The sanitizer and thread builds code MP42 with our own coder (the normal
# build with libavcodec's, the default), so that the whole suite runs once
# through each.
if build "sanitizers" build-asan -DTWOPASS_TESTS=ON -DTWOPASS_SANITIZE=ON -DTWOPASS_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
     -DTWOPASS_MP42_ENCODER=own; then
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    run_suite "sanitizers" build-asan
fi

# The console's threads (read-ahead source, check beside compression) under
# ThreadSanitizer: only what its end-to-end tests and the run tests need, and
# the codec's tests of our own coder on several threads.
echo "== threads: configure and build"
if cmake -S "$top" -B build-tsan -G Ninja -DTWOPASS_TESTS=ON -DTWOPASS_TSAN=ON -DTWOPASS_SANITIZE=OFF \
     -DTWOPASS_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTWOPASS_MP42_ENCODER=own >/dev/null &&
   cmake --build build-tsan -j "$jobs" --target twopass vfapi_reader test_e2e test_console test_codec; then
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$top/scripts/tsan.supp} \
    run_suite "threads" build-tsan \
      -R '^(Twopass|Inputs/RunConversionOverlap|V2Encoder\.AnyNumberOfThreads|V2Encoder\.TooSmallACapacity|CodecDriver\.OwnCoderGivesTheSameBytes)'
else
  step_failed "threads: build"
fi

# Further checks that need extra tools add themselves here (scripts/test.d/*.sh):
# each prints its own lines and exits 0 (passed), 1 (failed) or 77 (skipped, with a reason).
for extra in scripts/test.d/*.sh; do
  [ -e "$extra" ] || continue
  echo "== $(basename "$extra")"
  bash "$extra"
  rc=$?
  case $rc in
    0) total_passed=$((total_passed + 1)) ;;
    77) echo "   (skipped)"; total_skipped=$((total_skipped + 1)); skipped_steps+=("$(basename "$extra")") ;;
    *) step_failed "$(basename "$extra")" ;;
  esac
done

echo
if [ ${#failed_steps[@]} -ne 0 ]; then
  printf 'FAILED: %s\n' "${failed_steps[@]}"
fi
if [ ${#skipped_steps[@]} -ne 0 ]; then
  printf 'SKIPPED: %s\n' "${skipped_steps[@]}"
fi
echo "test.sh: ${total_passed} passed, ${total_failed} failed, ${total_skipped} skipped"
[ "$total_failed" -eq 0 ] && [ ${#failed_steps[@]} -eq 0 ]
