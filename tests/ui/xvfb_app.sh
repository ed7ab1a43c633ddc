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

# start_xvfb: a virtual display that answers, in DISPLAY. Xvfb picks a free
# number and hands it out through a pipe; a connection then checks that the
# display is this Xvfb's (a server of another root can hold the number's
# abstract socket where Xvfb's lock files do not show it). When it is not, the
# next numbers are tried; when none works, Xvfb's own log is the failure.
xvfb_width=1024
xvfb_height=768
start_xvfb() {
  local attempt fd display= next= at=()
  : >"$work/xvfb.log"
  for attempt in 1 2 3 4 5; do
    echo "== Xvfb ${at[*]:-(free display)}, attempt $attempt" >>"$work/xvfb.log"
    exec {fd}<> <(:)
    # -noreset: the check's client leaving must not reset the server while
    # the program connects.
    Xvfb "${at[@]}" -displayfd "$fd" -screen 0 "${xvfb_width}x${xvfb_height}x24" -nolisten tcp \
      -noreset >>"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    local handed=
    read -r -t 20 -u "$fd" handed || handed=
    exec {fd}>&-
    if [ -n "$handed" ]; then
      display=$handed
      next=$((handed + 1))
      local try
      for try in $(seq 1 20); do
        if xwininfo -root -display ":$display" >"$work/xwininfo.log" 2>&1 &&
          grep -q "Width: $xvfb_width\$" "$work/xwininfo.log" &&
          grep -q "Height: $xvfb_height\$" "$work/xwininfo.log"; then
          export DISPLAY=":$display"
          return 0
        fi
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.1
      done
      {
        echo "== display :$display does not answer as this Xvfb:"
        cat "$work/xwininfo.log"
      } >>"$work/xvfb.log"
    fi
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
    [ -n "$next" ] || break  # no number handed out: Xvfb itself does not start
    at=(":$next")
    next=$((next + 1))
  done
  echo "FAIL: no virtual display works; Xvfb's log:" >&2
  sed 's/^/  Xvfb: /' "$work/xvfb.log" >&2
  exit 1
}

start_on_xvfb() {
  # A display that answered the check can still refuse the program's own
  # connection (seen now and then on a loaded machine): that display did not
  # work, so a fresh Xvfb is tried, twice at most, before it counts.
  local attempt
  for attempt in 1 2 3; do
    start_xvfb

    # Nothing of the user's: a home of its own, no session bus.
    HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work" \
      DBUS_SESSION_BUS_ADDRESS= QT_QPA_PLATFORM=xcb "$exe" >"$work/app.log" 2>&1 &
    app_pid=$!

    # The main window's caption begins with the product's name.
    window_line=
    for _ in $(seq 1 200); do
      if ! kill -0 "$app_pid" 2>/dev/null; then
        wait "$app_pid" 2>/dev/null || true
        app_pid=
        break
      fi
      window_line=$(xwininfo -root -tree 2>/dev/null | grep -m1 '"Tervane ' || true)
      [ -n "$window_line" ] && return 0
      sleep 0.1
    done
    [ -n "$app_pid" ] && fail "no Tervane window within 20 seconds"
    if [ "$attempt" = 3 ] || ! grep -q 'could not connect to display' "$work/app.log"; then
      cat "$work/xvfb.log.kept" "$work/xvfb.log" 2>/dev/null | sed 's/^/  Xvfb: /' >&2
      fail "tervane ended before its window appeared"
    fi
    {
      echo "== the program could not connect to $DISPLAY:"
      cat "$work/app.log"
    } >>"$work/xvfb.log.kept"
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
  done
}
