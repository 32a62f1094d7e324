#!/usr/bin/env bash
# Sets up, builds, and shows what twopass does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DTWOPASS_TESTS=OFF -DTWOPASS_BENCH=OFF >/dev/null
cmake --build build -j 2
build/twopass -h || true
