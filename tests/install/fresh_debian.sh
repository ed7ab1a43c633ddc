#!/usr/bin/env bash
# Installs the Debian package on a fresh Debian 12 and removes it again: builds
# the package (cpack), makes a minimal Debian 12 with debootstrap in a temporary
# folder, and in it runs `apt-get install ./tervane_*.deb` (which fetches every
# dependency from the mirror), the programs, then `apt-get purge` and checks
# that no file of the package is left. Nothing is installed on this machine;
# needs root, debootstrap and the Debian mirror, and takes minutes, so it runs
# only in builds configured with -DTERVANE_TEST_FRESH_DEBIAN=ON.
#
# fresh_debian.sh BUILD_DIR VERSION
# TERVANE_DEBIAN_MIRROR: the mirror (default http://deb.debian.org/debian).
set -euo pipefail
build=$1
version=$2
mirror=${TERVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
here=$(cd "$(dirname "$0")" && pwd)
gui=1
source "$here/common.sh"
source "$here/fresh_root.sh"

[ "$(id -u)" = 0 ] || { echo "FAIL: needs root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "FAIL: needs debootstrap" >&2; exit 1; }

tmp=$(mktemp -d /var/tmp/tervane-fresh.XXXXXX)
root=$tmp/root
cleanup() {
  fresh_root_cleanup
  rm -rf --one-file-system "$tmp"
}
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; echo "FAIL: cpack failed" >&2; exit 1; }
deb=$(ls "$tmp"/out/tervane_"$version"_*.deb)

echo "debootstrap bookworm from $mirror ..."
mkdir "$root"
fresh_root_make "$mirror" "$tmp/debootstrap.log" || exit 1
fresh_root_mount
cp "$deb" "$root/tmp/"

echo "apt-get install ./$(basename "$deb") ..."
in_root "apt-get update -qq && cd /tmp && apt-get install -y ./$(basename "$deb")" >"$tmp/install.log" 2>&1 ||
  { tail -30 "$tmp/install.log" >&2; echo "FAIL: apt-get install failed" >&2; exit 1; }
grep -E 'newly installed' "$tmp/install.log"

in_root "dpkg -L tervane" | LC_ALL=C sort >"$tmp/listed"
expected_files | sed 's|^|/usr/|' >"$tmp/expected"
grep -Fxf "$tmp/expected" "$tmp/listed" >"$tmp/present" || true
compare_lists "the installed package" "$tmp/expected" "$tmp/present"

[ "$(in_root 'tervane-cli --version')" = "tervane-cli $version" ] || fail "tervane-cli does not run"
# A scan piped into a clean, as the manual shows.
out=$(in_root 'mkdir -p /tmp/site/a && printf "x<iframe src=1 width=0>y" >/tmp/site/a/p.php &&
  tervane-cli scan --signature "<iframe src=1 width=0>" /tmp/site |
  tervane-cli clean --signature "<iframe src=1 width=0>" >/dev/null && cat /tmp/site/a/p.php')
[ "$out" = xy ] || fail "scan | clean left '$out'"
# The window program starts (and keeps running until stopped) with the
# platform plugins the package pulled in, and a Chinese font is there.
status=0
in_root 'QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp timeout 5 tervane' >"$tmp/gui.log" 2>&1 || status=$?
[ "$status" = 124 ] || { cat "$tmp/gui.log" >&2; fail "tervane ended with status $status at start"; }
[ -n "$(in_root 'fc-list :lang=zh-cn family')" ] || fail "no font with Chinese characters installed"

echo "apt-get purge tervane ..."
in_root 'apt-get purge -y tervane' >"$tmp/purge.log" 2>&1 ||
  { tail -20 "$tmp/purge.log" >&2; fail "apt-get purge failed"; }
in_root 'dpkg -s tervane' >/dev/null 2>&1 && fail "tervane is still installed"
while read -r path; do
  [ -e "$root$path" ] && [ ! -d "$root$path" ] && fail "left after removal: $path"
done <"$tmp/listed"

finish
