#!/usr/bin/env bash
# Installs what is missing, builds Tervane and its tests, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
tervane_install_deps

build=${TERVANE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVANE_WERROR=ON
cmake --build "$build" -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
