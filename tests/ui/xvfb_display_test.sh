#!/usr/bin/env bash
# The virtual display of the window tests: a number Xvfb hands out that does not
# answer as that Xvfb (another server holds it) is passed over for the next one,
# and when no display works the failure shows Xvfb's own log.
# Usage: xvfb_display_test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../tools.sh"
tools_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
if ! { need Xvfb xvfb && need xwininfo x11-utils; }; then
  tools_status || exit $?
fi
real_xvfb=$(command -v Xvfb)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# An Xvfb that, asked for any free display, hands out one that nothing serves
# (as in a chroot whose lock files miss the host's servers); asked for a number,
# it is the real one unless every display is to fail.
mkdir "$tmp/bin"
cat >"$tmp/bin/Xvfb" <<FAKE
#!/usr/bin/env bash
fd=
args=("\$@")
for ((i = 0; i < \${#args[@]}; i++)); do
  [ "\${args[i]}" = -displayfd ] && fd=\${args[i + 1]}
done
if [ "\${1#:}" != "\$1" ] && [ ! -e "$tmp/none-works" ]; then
  exec "$real_xvfb" "\$@"
fi
echo "stand-in server: display 32001 is someone else's"
echo 32001 >&"\$fd"
exec sleep 60
FAKE
chmod +x "$tmp/bin/Xvfb"

# Runs start_xvfb in a script of its own, as the window tests do.
run_start() {
  PATH="$tmp/bin:$PATH" bash -c '
    exe=/bin/true
    source "$1/xvfb_app.sh"
    start_xvfb
    echo "DISPLAY=$DISPLAY"
    xwininfo -root | grep -E "Width|Height"
  ' sh "$here"
}

out=$(run_start 2>&1) || { echo "$out"; tools_fail "no display after a foreign one"; }
echo "$out"
# The next free number after the foreign one (:32002 unless that is taken too).
grep -qxE 'DISPLAY=:320(0[2-9]|[1-9][0-9])' <<<"$out" || tools_fail "the next number was not taken"
grep -q 'Width: 1024' <<<"$out" || tools_fail "the display is not the test's Xvfb"

touch "$tmp/none-works"
if out=$(run_start 2>&1); then
  echo "$out"
  tools_fail "a display was claimed where none works"
fi
echo "$out"
grep -q '^FAIL: no virtual display works' <<<"$out" || tools_fail "no failure message"
grep -q 'Xvfb: stand-in server: display 32001' <<<"$out" || tools_fail "Xvfb's log is not shown"
grep -q 'Xvfb: == display :32001 does not answer' <<<"$out" || tools_fail "the check is not shown"
echo "display choice: ok"
