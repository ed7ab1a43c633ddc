#!/usr/bin/env bash
# Builds the Debian package from the build (cpack, into a temporary folder) and
# checks it as apt and Debian would: its file list, owners and modes, stripped
# programs, its version, dependencies computed from the libraries plus the ones
# loaded at run time, and lintian without errors (its warnings are printed).
#
# debian_package.sh BUILD_DIR VERSION GUI(0|1)
set -euo pipefail
build=$1
version=$2
gui=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack failed" >&2
  exit 1
fi
debs=("$tmp"/out/tervane_"$version"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  ls -l "$tmp/out" >&2
  echo "FAIL: cpack made no single tervane_${version}_*.deb" >&2
  exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# --- Contents: what the installation holds, below /usr, owned by root --------
{ expected_files | sed 's|^|usr/|'; expected_outside_files; } | LC_ALL=C sort >"$tmp/expected"
dpkg-deb -c "$deb" >"$tmp/contents"
awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' "$tmp/contents" | LC_ALL=C sort >"$tmp/actual"
compare_lists "the package" "$tmp/expected" "$tmp/actual"
awk '$2 != "root/root" { print }' "$tmp/contents" | grep -q . &&
  fail "entries not owned by root: $(awk '$2 != "root/root"' "$tmp/contents")"
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print }' "$tmp/contents" | grep -q . &&
  fail "folders whose mode is not rwxr-xr-x: $(awk '$1 ~ /^d/ && $1 != "drwxr-xr-x"' "$tmp/contents")"

mkdir "$tmp/x"
dpkg-deb -x "$deb" "$tmp/x"
for program in "$tmp"/x/usr/bin/*; do
  need file file || break
  file -b "$program" | grep -q ', stripped' || fail "$(basename "$program") is not stripped"
done

# The watch's configuration is a conffile: an upgrade keeps the administrator's.
mkdir "$tmp/control"
dpkg-deb -e "$deb" "$tmp/control"
[ "$(cat "$tmp/control/conffiles" 2>/dev/null)" = /etc/tervane/watch.conf ] ||
  fail "conffiles is not /etc/tervane/watch.conf: $(cat "$tmp/control/conffiles" 2>/dev/null)"
# Installed disabled: no maintainer script enables or starts the service.
for script in postinst preinst prerm postrm; do
  [ ! -e "$tmp/control/$script" ] || ! grep -q 'systemctl\|deb-systemd' "$tmp/control/$script" ||
    fail "$script enables or starts a service"
done

# --- Control fields ---------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tervane ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"
# One entry per line, as dpkg-shlibdeps writes them: "name (>= version)".
entries=$(echo "$depends" | sed 's/, /\n/g')
has() { echo "$entries" | grep -qxE "$1" || fail "Depends lacks $2"; }
# Computed by dpkg-shlibdeps from the programs' libraries, with their versions.
has 'libc6 \(>= [^)]+\)' "libc6 with a version"
has 'libqt6core6 \(>= [^)]+\)' "libqt6core6 with a version"
has 'libicu[0-9]+ \(>= [^)]+\)' "libicu with a version"
has 'libstdc\+\+6 \(>= [^)]+\)' "libstdc++6 with a version"
if [ "$gui" = 1 ]; then
  has 'libqt6widgets6 \(>= [^)]+\)' "libqt6widgets6 with a version"
  has 'libqt6dbus6 \(>= [^)]+\)' "libqt6dbus6 with a version"
  # Loaded at run time, so added by hand: the platform plugins, Qt's texts in
  # Chinese, a CJK font for the captions, xdg-open.
  has 'qt6-qpa-plugins' "the Qt platform plugins"
  has 'qt6-translations-l10n' "Qt's Chinese texts"
  has 'fonts-arphic-uming \| fonts-noto-cjk' "a CJK font"
  has 'xdg-utils' "xdg-utils"
fi
# Each entry must name a package apt knows here (one of its alternatives at
# least), or the package cannot install: a misspelt name fails.
while read -r entry; do
  known=0
  for name in $(echo "$entry" | tr '|' '\n' | sed 's/^ *//; s/ .*//'); do
    apt-cache show "$name" >/dev/null 2>&1 && known=1
  done
  [ "$known" = 1 ] || fail "Depends names '$entry', which apt does not know"
done <<<"$entries"

# --- lintian: errors fail, warnings are printed -------------------------------
need lintian lintian || finish
set +e
lintian --fail-on error --tag-display-limit 0 "$deb" >"$tmp/lintian.txt" 2>&1
status=$?
set -e
grep -vE '^running with root privileges' "$tmp/lintian.txt" || true
case $status in
  0) grep -qE '^E: ' "$tmp/lintian.txt" && fail "lintian reports errors" ;;
  1) fail "lintian reports errors" ;;
  *) fail "lintian did not run (status $status)" ;;
esac

finish
