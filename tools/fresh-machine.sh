#!/usr/bin/env bash
# Runs the README's two commands on a fresh Debian 12, so that no missing
# install step hides behind what a working machine already has, and nothing of
# this machine is lent: no bind mount of its root, no socket of its X server.
# Makes a minimal bookworm with debootstrap in a temporary folder, copies this
# checkout into it (tracked and new files, without build folders), and there
# runs
#   1. ./tools/run.sh until the main window shows on a virtual display: an Xvfb
#      of the fresh system itself, started there once run.sh has installed it
#      and checked with xwininfo there; then stops both;
#   2. ./tools/test.sh, where a test that lacks a tool fails instead of
#      skipping.
# Prints the packages the commands installed and the time of each step; any
# step that fails fails the check. Needs root, debootstrap, git and the Debian
# mirror; installs nothing on this machine and removes the fresh system at the
# end. It builds everything once, so it takes long.
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
for tool in debootstrap:debootstrap git:git; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "FAIL: needs ${tool%%:*} (apt-get install ${tool#*:})" >&2; exit 1; }
done

tmp=$(mktemp -d /var/tmp/tervane-machine.XXXXXX)
root=$tmp/root
logs=$tmp
cleanup() {
  local status=$?
  set +e
  fresh_root_cleanup
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

# A display number nobody uses here: the fresh system shares this machine's
# network namespace, and so the abstract X sockets.
display=
for n in $(seq 20 99); do
  if ! grep -q "/tmp/.X11-unix/X$n\$" /proc/net/unix && [ ! -e "/tmp/.X$n-lock" ] &&
    [ ! -e "$root/tmp/.X$n-lock" ]; then
    display=$n
    break
  fi
done
[ -n "$display" ] || failed "no free display number between :20 and :99"

step "./tools/run.sh (until the main window shows on the fresh system's display :$display)"
root_env=(DISPLAY=":$display")
in_root 'cd /src && exec ./tools/run.sh' >"$logs/run.log" 2>&1 &
run_pid=$!
root_env=()
# run.sh installs Xvfb with the rest and builds for minutes after; the display
# starts once the packages are in.
installed() {
  in_root "dpkg-query -W -f='\${Status}' $1 2>/dev/null" | grep -q 'install ok installed'
}
while kill -0 "$run_pid" 2>/dev/null && ! { installed xvfb && installed x11-utils; }; do
  sleep 5
done
kill -0 "$run_pid" 2>/dev/null ||
  failed "run.sh ended before it installed Xvfb" "$logs/run.log"
echo "   Xvfb installed after $(((SECONDS - step_started) / 60)) min; display :$display"
in_root "exec Xvfb :$display -screen 0 1024x768x24 -nolisten tcp" >"$logs/xvfb.log" 2>&1 &
answered=
for _ in $(seq 1 100); do
  if in_root "xwininfo -root -display :$display" >"$logs/xwininfo.log" 2>&1; then
    answered=1
    break
  fi
  sleep 0.2
done
[ -n "$answered" ] || failed "the fresh system's Xvfb does not answer on :$display: $(cat "$logs/xwininfo.log")" "$logs/xvfb.log"
window=
# It builds first; two hours is far beyond that on two cores.
while kill -0 "$run_pid" 2>/dev/null && [ $((SECONDS - step_started)) -lt 7200 ]; do
  # The main window's caption begins with the product's name.
  window=$(in_root "xwininfo -root -tree -display :$display" 2>/dev/null | grep -m1 '"Tervane ' || true)
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
# Ends tervane and the fresh system's Xvfb alike.
fresh_root_kill
wait "$run_pid" 2>/dev/null || true
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
