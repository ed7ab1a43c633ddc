#!/usr/bin/env bash
# Installs what is missing, builds Tervane and its tests, and runs the whole suite;
# then the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
# then every fuzz target for a bounded time.
#
# TERVANE_FUZZ_SECONDS: seconds per fuzz target (default 60; 0 skips fuzzing).
# TERVANE_SANITIZE_BUILD: 0 skips the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
tervane_install_deps

export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)

build=${TERVANE_BUILD_DIR:-build}
# Every part and every test, whatever an earlier configuration of the folder chose.
whole=(-DTERVANE_BUILD_GUI=ON -DTERVANE_BUILD_TESTS=ON -DTERVANE_WERROR=ON)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${whole[@]}"
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600

if [ "${TERVANE_SANITIZE_BUILD:-1}" != 0 ]; then
  asan=${TERVANE_ASAN_BUILD_DIR:-build-asan}
  cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${whole[@]}" \
    -DTERVANE_SANITIZE=address,undefined
  cmake --build "$asan" -j "$jobs"
  # Every finding ends its test (the build does not recover from any).
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    ctest --test-dir "$asan" --output-on-failure -j "$jobs" --timeout 1200
fi

fuzz_seconds=${TERVANE_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
  ./tools/fuzz.sh "$fuzz_seconds"
fi
