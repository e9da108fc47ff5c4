#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the optimised build and once
# built with AddressSanitizer + UndefinedBehaviorSanitizer, and the desktop tests a third time
# with ThreadSanitizer; the tests that need a desktop run inside a private one (X server,
# session bus, sound server) that is started and stopped here.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
# Each phase says when it starts, counted from the start of the run.
phase() { echo "== $* (at ${SECONDS} s)"; }
for preset in dev asan; do
  phase "${preset}: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  phase "${preset}: test"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  # The packages are built and checked once, from the optimised build.
  exclude=desktop
  [ "$preset" = dev ] || exclude="desktop|package"
  ctest --preset "$preset" -j "$jobs" --timeout 300 --label-exclude "$exclude"
  phase "${preset}: desktop tests, in a private session"
  scripts/with-desktop-session.sh ctest --preset "$preset" --timeout 300 --label-regex desktop
done

phase "tsan: the desktop tests, where the shell's GTK meets the agent's threads"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp" \
  scripts/with-desktop-session.sh ctest --preset tsan --timeout 300 --label-regex desktop

phase "hostile network, ten times longer (bounded)"
TD_HOSTILE_SCALE=10 ctest --preset dev --timeout 120 --label-regex hostile

phase "pages: the phone and admin pages in Chromium (screenshots in build/e2e-shots/)"
(cd tests/e2e && npm ci --no-audit --no-fund --loglevel=error && TD_BUILD_DIR="$PWD/../../build" ../../scripts/with-lan.sh npm test)

phase "fuzz: the request reader, the JSON body reader with the sanitiser, the relay envelopes, the static files, the touchpad messages and a passthrough relay's first bytes, ${FUZZ_SECONDS:-20} s each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in request body envelope static pointer server_name; do
  mkdir -p "build-fuzz/corpus/${target}"
  "build-fuzz/tests/fuzz/${target}_fuzzer" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ "build-fuzz/corpus/${target}" "tests/fuzz/corpus/${target}" 2>&1 |
    grep -E 'Done|exec_per_sec|peak_rss|ERROR|No such file'
done
phase "all passed"
