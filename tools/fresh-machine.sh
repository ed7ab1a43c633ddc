#!/usr/bin/env bash
# Runs the README's two commands on a fresh Debian 12, so that no missing
# install step hides behind what a working machine already has. Makes a minimal
# bookworm with debootstrap in a temporary folder, copies this checkout into it
# (tracked and new files, without build folders), and there runs
#   1. ./tools/run.sh until the main window shows on a virtual display (an Xvfb
#      on this machine, whose socket alone is lent to the fresh system), then
#      stops it;
#   2. ./tools/test.sh, where a test that lacks a tool fails instead of
#      skipping.
# Prints the packages the commands installed and the time of each step; any
# step that fails fails the check. Needs root, debootstrap, Xvfb, xwininfo and
# the Debian mirror; installs nothing on this machine and removes the fresh
# system at the end. It builds everything once, so it takes long.
#
# TERVANE_DEBIAN_MIRROR: the mirror (default http://deb.debian.org/debian).
# TERVANE_FUZZ_SECONDS, TERVANE_SANITIZE_BUILD: given to test.sh; 0 (skip the
#   fuzzing and the sanitizer build) unless set.
# TERVANE_FRESH_LOG: a folder that receives the logs (default: printed only).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
mirror=${TERVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
source "$src/tests/install/fresh_root.sh"

[ "$(id -u)" = 0 ] || { echo "FAIL: needs root (debootstrap, chroot, mount)" >&2; exit 1; }
for tool in debootstrap:debootstrap Xvfb:xvfb xwininfo:x11-utils git:git; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "FAIL: needs ${tool%%:*} (apt-get install ${tool#*:})" >&2; exit 1; }
done

tmp=$(mktemp -d /var/tmp/tervane-machine.XXXXXX)
root=$tmp/root
logs=$tmp
xvfb_pid=
cleanup() {
  local status=$?
  set +e
  fresh_root_cleanup
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  if [ -n "${TERVANE_FRESH_LOG:-}" ]; then
    mkdir -p "$TERVANE_FRESH_LOG"
    cp "$logs"/*.log "$logs"/*.txt "$TERVANE_FRESH_LOG"/ 2>/dev/null || true
  fi
  rm -rf --one-file-system "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

started=$SECONDS
step_started=$SECONDS
step() {
  echo "== $* ($(date -u +%H:%M:%S))"
  step_started=$SECONDS
}
took() { echo "   took $(((SECONDS - step_started) / 60)) min $(((SECONDS - step_started) % 60)) s"; }
failed() {
  echo "FAIL: $1" >&2
  [ -n "${2:-}" ] && [ -f "$2" ] && tail -n "${3:-40}" "$2" >&2
  exit 1
}

step "debootstrap --variant=minbase bookworm from $mirror"
mkdir "$root"
fresh_root_make "$mirror" "$logs/debootstrap.log" || exit 1
fresh_root_mount
root_packages >"$logs/packages-before.txt"
echo "   $(wc -l <"$logs/packages-before.txt") packages"
took

step "copy the checkout to /src"
mkdir "$root/src"
# Run through sudo, git would refuse a checkout its user owns.
(cd "$src" && git -c safe.directory="$src" ls-files -z --cached --others --exclude-standard |
  xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
  tar --null -T - -cf -) | tar -xf - -C "$root/src"
echo "   $(find "$root/src" -type f | wc -l) files"
took

# A virtual display on this machine; the fresh system gets its socket only, so
# it needs nothing of X beyond what the run command installs.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 20 -u "$fd" display || failed "Xvfb did not start" "$logs/xvfb.log"
exec {fd}>&-
mkdir -p "$root/tmp/.X11-unix"
chmod 1777 "$root/tmp/.X11-unix"
touch "$root/tmp/.X11-unix/X$display"
mount --bind "/tmp/.X11-unix/X$display" "$root/tmp/.X11-unix/X$display"

step "./tools/run.sh (until the main window shows on display :$display)"
root_env=(DISPLAY=":$display")
in_root 'cd /src && exec ./tools/run.sh' >"$logs/run.log" 2>&1 &
run_pid=$!
root_env=()
window=
# It installs and builds first; two hours is far beyond that on two cores.
while kill -0 "$run_pid" 2>/dev/null && [ $((SECONDS - step_started)) -lt 7200 ]; do
  # The main window's caption begins with the product's name.
  window=$(DISPLAY=":$display" xwininfo -root -tree 2>/dev/null | grep -m1 '"Tervane ' || true)
  [ -n "$window" ] && break
  sleep 2
done
if [ -z "$window" ]; then
  kill -0 "$run_pid" 2>/dev/null && failed "no Tervane window within two hours" "$logs/run.log"
  wait "$run_pid" && status=0 || status=$?
  failed "run.sh ended with status $status before a Tervane window showed" "$logs/run.log"
fi
echo "   window: $(echo "$window" | sed 's/^ *//')"
sleep 2
kill -0 "$run_pid" 2>/dev/null || failed "tervane ended right after its window showed" "$logs/run.log"
fresh_root_kill
wait "$run_pid" 2>/dev/null || true
umount "$root/tmp/.X11-unix/X$display"
kill "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=
took

step "./tools/test.sh (TERVANE_FUZZ_SECONDS=${TERVANE_FUZZ_SECONDS:-0}" \
  "TERVANE_SANITIZE_BUILD=${TERVANE_SANITIZE_BUILD:-0})"
root_env=("TERVANE_FUZZ_SECONDS=${TERVANE_FUZZ_SECONDS:-0}"
  "TERVANE_SANITIZE_BUILD=${TERVANE_SANITIZE_BUILD:-0}" TERVANE_REQUIRE_TOOLS=1)
in_root 'cd /src && ./tools/test.sh' >"$logs/test.log" 2>&1 ||
  failed "test.sh failed" "$logs/test.log" 80
root_env=()
grep -E 'tests passed|Total Test time' "$logs/test.log" | sed 's/^/   /'
# Skips that are no tool's fault (no root, no ACLs here) stay visible.
grep -E '\*\*\*Skipped|Not Run' "$logs/test.log" | sed 's/^/   skipped: /' || true
took

root_packages >"$logs/packages-after.txt"
LC_ALL=C comm -13 "$logs/packages-before.txt" "$logs/packages-after.txt" >"$logs/packages-installed.txt"
echo "== the commands installed $(wc -l <"$logs/packages-installed.txt") packages:"
fold -s -w 100 <<<"$(tr '\n' ' ' <"$logs/packages-installed.txt")" | sed 's/^/   /'
echo "== passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
