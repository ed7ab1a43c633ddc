# For the test scripts that start the real program on a virtual X display:
# sourced after `exe` is set. Gives `work` (a temporary folder), `fail`, and
# `start_on_xvfb`, which starts Xvfb and the program and waits for the main
# window: `window_line` is then its line of `xwininfo -root -tree`. Everything
# it started is stopped, and `work` removed, when the script ends.
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
tools_fail() { fail "$@"; }
source "$(dirname "${BASH_SOURCE[0]}")/../tools.sh"

start_on_xvfb() {
  # A free display: Xvfb picks one and writes its number to the pipe.
  local fd display
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  read -r -t 20 -u "$fd" display || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  exec {fd}>&-
  export DISPLAY=":$display"

  # Nothing of the user's: a home of its own, no session bus.
  HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work" \
    DBUS_SESSION_BUS_ADDRESS= QT_QPA_PLATFORM=xcb "$exe" >"$work/app.log" 2>&1 &
  app_pid=$!

  # The main window's caption begins with the product's name.
  window_line=
  for _ in $(seq 1 200); do
    kill -0 "$app_pid" 2>/dev/null || fail "tervane ended before its window appeared"
    window_line=$(xwininfo -root -tree 2>/dev/null | grep -m1 '"Tervane ' || true)
    [ -n "$window_line" ] && return 0
    sleep 0.1
  done
  fail "no Tervane window within 20 seconds"
}
