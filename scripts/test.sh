#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the optimised build and once
# built with AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
for preset in dev asan; do
  echo "== ${preset}: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== ${preset}: test"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset "$preset" -j "$jobs" --timeout 300
done

echo "== fuzz: the request reader and the JSON body reader, ${FUZZ_SECONDS:-20} s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build-fuzz/corpus
build-fuzz/tests/fuzz/request_fuzzer -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/corpus/request 2>&1 | tail -n 3
