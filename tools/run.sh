#!/usr/bin/env bash
# Installs what is missing, builds Tervane and starts it on the desktop.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
tervane_install_deps

build=${TERVANE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERVANE_BUILD_GUI=ON
cmake --build "$build" --target tervane -j "$(nproc)"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No desktop session found (DISPLAY and WAYLAND_DISPLAY are unset)." >&2
  exit 1
fi
exec "$build/ui/tervane" "$@"
