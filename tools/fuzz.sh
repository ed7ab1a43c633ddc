#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time, as many at once
# as there are cores.
#
#   tools/fuzz.sh [seconds per target] [target ...]
#
# Targets are the names in fuzz/ (matcher, parse, clean, setfile); default: all, 60 s each.
# The seeds in fuzz/corpus/<target> are read, never written: what a run learns
# goes to <build>/fuzz-corpus/<target>, kept between runs. An input that breaks
# a target is saved under <build>/fuzz-artifacts/ and the script fails; copy it
# into fuzz/corpus/<target>/ once the fault is fixed, so that every build replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=${TERVANE_FUZZ_BUILD_DIR:-build-fuzz}
cxx=${TERVANE_FUZZ_CXX:-clang++-14}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTERVANE_FUZZ=ON -DTERVANE_BUILD_TESTS=OFF -DTERVANE_BUILD_GUI=OFF -DTERVANE_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/fuzz/fuzz_*; do
    [ -x "$bin" ] && targets+=("${bin##*/fuzz_}")
  done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
  local name=$1
  local work="$build/fuzz-corpus/$name" artifacts="$build/fuzz-artifacts"
  mkdir -p "$work" "$artifacts"
  local opts=()
  if [ -f "fuzz/$name.options" ]; then
    mapfile -t opts < "fuzz/$name.options"
  fi
  if "$build/fuzz/fuzz_$name" "${opts[@]}" -max_total_time="$seconds" -timeout=30 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
      "$work" "fuzz/corpus/$name" >"$build/fuzz-$name.log" 2>&1; then
    echo "fuzz $name: $(grep -E '^stat::number_of_executed_units' "$build/fuzz-$name.log" |
      awk '{print $2}') inputs in ${seconds}s, no fault"
  else
    echo "fuzz $name: FAULT FOUND (log: $build/fuzz-$name.log)"
    grep -E 'FUZZ CHECK FAILED|ERROR: |runtime error|Test unit written' "$build/fuzz-$name.log" || true
    return 1
  fi
}

status=0
pids=()
names=()
jobs=$(nproc)
for name in "${targets[@]}"; do
  run_one "$name" &
  pids+=($!)
  names+=("$name")
  if [ ${#pids[@]} -ge "$jobs" ]; then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
exit $status
