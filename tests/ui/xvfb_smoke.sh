#!/usr/bin/env bash
# Starts the real program on a virtual X display, waits for its main window,
# takes a screenshot of the screen, and checks that the window is on it.
# Usage: xvfb_smoke.sh <tervane executable> <screenshot file>
set -euo pipefail
exe=$1
shot=$2
source "$(dirname "$0")/xvfb_app.sh"

# The programs it drives; without one the test is skipped, and says why.
if ! { need Xvfb xvfb && need xwininfo x11-utils && need import imagemagick &&
  need identify imagemagick; }; then
  tools_status || exit $?
fi

start_on_xvfb
echo "window: $window_line"
geometry=$(grep -oE '[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+' <<<"$window_line" | head -n1)
case $geometry in
  630x438+*) ;;
  *) fail "window is $geometry, not 630x438" ;;
esac

# Let it paint, then take the whole screen.
sleep 1
import -display "$DISPLAY" -window root "$shot" || fail "screenshot failed"
[ -s "$shot" ] || fail "empty screenshot"
# The window is painted: the screen is not one flat colour.
colours=$(identify -format '%k' "$shot")
[ "$colours" -gt 10 ] || fail "screenshot holds $colours colours only"
kill -0 "$app_pid" 2>/dev/null || fail "tervane ended while on screen"
echo "screenshot: $shot ($colours colours)"
