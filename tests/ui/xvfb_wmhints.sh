#!/usr/bin/env bash
# Starts the real program on a virtual X display and reads what it tells the
# window manager: a fixed size (minimum = maximum) and, in the Motif hints, no
# maximise function or button, but minimise and close.
# Usage: xvfb_wmhints.sh <tervane executable>
set -euo pipefail
exe=$1
source "$(dirname "$0")/xvfb_app.sh"

if ! { need Xvfb xvfb && need xwininfo x11-utils && need xprop x11-utils; }; then
  tools_status || exit $?
fi

start_on_xvfb
window=$(awk '{print $1}' <<<"$window_line")

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
