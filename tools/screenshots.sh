#!/usr/bin/env bash
# Renews the README's pictures in docs/: the main window after a scan that found
# files, the results window, the main window after a clean and the backups
# dialog, taken on a virtual X display; and the incident page of three servers'
# scans (tervane-cli report --html), taken in headless chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/deps.sh
tervane_install_deps

build=${TERVANE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target ui_screenshots tervane-cli -j "$(nproc)"
mkdir -p docs
QT_QPA_PLATFORM=xcb xvfb-run -a -s '-screen 0 1024x768x24' \
  "$build/tests/ui/ui_screenshots" docs
bash tests/cli/report_browser.sh "$build/cli/tervane-cli" docs/report.png
echo "docs/main-window.png, docs/results-window.png, docs/clean-failure.png, docs/clean-done.png, docs/main-window-cleaned.png, docs/backups-dialog.png, docs/report.png"
