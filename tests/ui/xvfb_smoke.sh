#!/usr/bin/env bash
# Starts the real program on a virtual X display, waits for its main window,
# takes a screenshot of the screen, and checks that the window is on it.
# Usage: xvfb_smoke.sh <tervane executable> <screenshot file>
set -euo pipefail
exe=$1
shot=$2
work=$(mktemp -d)
xvfb_pid=
app_pid=
finish() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "$app_pid" ] && wait "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -s "$work/app.log" ] && sed 's/^/  tervane: /' "$work/app.log" >&2
  exit 1
}

# The programs it drives; without one the test is skipped, and says why.
tools_fail() { fail "$@"; }
source "$(dirname "$0")/../tools.sh"
if ! { need Xvfb xvfb && need xwininfo x11-utils && need import imagemagick &&
  need identify imagemagick; }; then
  tools_status || exit $?
fi

# A free display: Xvfb picks one and writes its number to the pipe.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 20 -u "$fd" display || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
exec {fd}>&-
export DISPLAY=":$display"

# Nothing of the user's: a home of its own, no session bus.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work" \
  DBUS_SESSION_BUS_ADDRESS= QT_QPA_PLATFORM=xcb "$exe" >"$work/app.log" 2>&1 &
app_pid=$!

# The main window's caption begins with the product's name.
geometry=
for _ in $(seq 1 200); do
  kill -0 "$app_pid" 2>/dev/null || fail "tervane ended before its window appeared"
  line=$(xwininfo -root -tree 2>/dev/null | grep -m1 '"Tervane ' || true)
  if [ -n "$line" ]; then
    geometry=$(grep -oE '[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+' <<<"$line" | head -n1)
    break
  fi
  sleep 0.1
done
[ -n "$geometry" ] || fail "no Tervane window within 20 seconds"
echo "window: $line"
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
