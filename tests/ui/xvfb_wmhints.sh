#!/usr/bin/env bash
# Starts the real program on a virtual X display and reads what it tells the
# window manager: a fixed size (minimum = maximum) and, in the Motif hints, no
# maximise function or button, but minimise and close.
# Usage: xvfb_wmhints.sh <tervane executable>
set -euo pipefail
exe=$1
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
  exit 1
}

exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 20 -u "$fd" display || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
exec {fd}>&-
export DISPLAY=":$display"

HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work" \
  DBUS_SESSION_BUS_ADDRESS= QT_QPA_PLATFORM=xcb "$exe" >"$work/app.log" 2>&1 &
app_pid=$!

window=
for _ in $(seq 1 200); do
  kill -0 "$app_pid" 2>/dev/null || fail "tervane ended before its window appeared"
  window=$(xwininfo -root -tree 2>/dev/null | grep -m1 '"Tervane ' | awk '{print $1}' || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "no Tervane window within 20 seconds"

normal=$(xprop -id "$window" WM_NORMAL_HINTS)
echo "$normal"
min=$(grep -oE 'minimum size: [0-9]+ by [0-9]+' <<<"$normal" | grep -oE '[0-9]+ by [0-9]+' || true)
max=$(grep -oE 'maximum size: [0-9]+ by [0-9]+' <<<"$normal" | grep -oE '[0-9]+ by [0-9]+' || true)
[ -n "$min" ] && [ "$min" = "$max" ] || fail "not a fixed size: minimum '$min', maximum '$max'"

motif=$(xprop -id "$window" _MOTIF_WM_HINTS)
echo "$motif"
# flags, functions, decorations, input mode, status
read -r flags functions decorations _ <<<"$(sed 's/.*= //; s/,/ /g' <<<"$motif")"
[ -n "${decorations:-}" ] || fail "no Motif hints"
(((flags & 1) && (flags & 2))) || fail "the hints do not set functions and decorations"
((!(functions & 0x10))) || fail "the maximise function is offered"
((!(decorations & 0x40))) || fail "the maximise button is asked for"
((functions & 0x08)) && ((functions & 0x20)) || fail "minimise or close is missing"
((decorations & 0x20)) || fail "the minimise button is missing"
echo "no maximise: ok"
