#!/usr/bin/env bash
# Installs the build into a temporary root (`cmake --install`, prefix /usr) and
# checks what a desktop and a shell find there: the file list, the desktop
# entry, the software-centre entry, the icons and the manual pages, with the
# tools the desktops and Debian judge them by, and every version against the
# project's.
#
# install_tree.sh BUILD_DIR VERSION GUI(0|1)
set -euo pipefail
build=$1
version=$2
gui=$3
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
usr=$root/usr

if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi

# --- The file list and the modes -------------------------------------------
expected_files >"$tmp/expected"
(cd "$usr" && find . -mindepth 1 ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/actual"
compare_lists "the installation" "$tmp/expected" "$tmp/actual"
expected_outside_files >"$tmp/expected-outside"
(cd "$root" && find . -mindepth 1 ! -type d ! -path './usr/*' | sed 's|^\./||' | LC_ALL=C sort) \
  >"$tmp/actual-outside"
compare_lists "the installation outside the prefix" "$tmp/expected-outside" "$tmp/actual-outside"
while read -r path; do
  [ -e "$usr/$path" ] || continue
  mode=$(stat -c %a "$usr/$path")
  case $path in
    bin/*) want=755 ;;
    *) want=644 ;;
  esac
  [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
done <"$tmp/expected"
while read -r path; do
  [ -e "$root/$path" ] || continue
  mode=$(stat -c %a "$root/$path")
  [ "$mode" = 644 ] || fail "/$path has mode $mode, not 644"
done <"$tmp/expected-outside"

# --- The programs ----------------------------------------------------------
cli=$usr/bin/tervane-cli
if [ -x "$cli" ]; then
  [ "$("$cli" --version)" = "tervane-cli $version" ] ||
    fail "installed tervane-cli --version says '$("$cli" --version)', not 'tervane-cli $version'"
fi

# --- Manual pages: no warning from man and groff, the project's version ------
has_man=0
need man man-db && need col bsdextrautils && has_man=1
for page in "$usr"/share/man/man1/*.1.gz; do
  [ "$has_man" = 1 ] || break
  name=$(basename "$page")
  # As lintian renders them; any complaint fails.
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || fail "man cannot render $name"
  [ -z "$warnings" ] || fail "man warns about $name: $warnings"
  # Read to the end: with grep -q, zcat of a page larger than the pipe dies of
  # SIGPIPE, which pipefail takes for a missing version.
  zcat "$page" | grep "^\.TH .* \"Tervane $version\" " >/dev/null ||
    fail "$name does not name version $version in its .TH line"
done

# The manual of tervane-cli: every option the program's help names, the exit
# statuses, and a scan piped into a clean.
man_text() {  # page: the rendered text, one line per paragraph, so nothing is hyphenated
  LC_ALL=C.UTF-8 MANWIDTH=2000 man -E UTF-8 -l "$1" 2>/dev/null | col -b
}
page=$usr/share/man/man1/tervane-cli.1.gz
if [ "$has_man" = 1 ] && [ -f "$page" ] && [ -x "$cli" ]; then
  man_text "$page" >"$tmp/cli.txt"
  options=$("$cli" --help | grep -oE '(^|[^A-Za-z0-9-])--?[a-z][a-z-]*' | sed 's/^[^-]*//' | sort -u)
  [ "$(echo "$options" | wc -l)" -ge 6 ] || fail "the help names too few options: $options"
  for option in $options; do
    grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|$)" "$tmp/cli.txt" ||
      fail "the manual of tervane-cli does not document $option"
  done
  for command in scan clean; do
    grep -qE "tervane-cli $command " "$tmp/cli.txt" || fail "the manual's synopsis lacks $command"
  done
  status=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' "$tmp/cli.txt")
  for code in 0 1 2; do
    echo "$status" | grep -qE "^\s+$code\s" || fail "the manual does not explain exit status $code"
  done
  grep -qE 'tervane-cli scan .*\|' "$tmp/cli.txt" && grep -qE '^\s+tervane-cli clean ' "$tmp/cli.txt" ||
    fail "the manual has no example of a scan piped into a clean"
fi

# --- Package documents ------------------------------------------------------
changelog=$usr/share/doc/tervane/changelog.gz
if [ -f "$changelog" ]; then
  zcat "$changelog" | head -n 1 | grep -q "^tervane ($version) " ||
    fail "the changelog's latest entry is not version $version"
fi

if [ "$gui" = 1 ]; then
  # --- The desktop entry ----------------------------------------------------
  desktop=$usr/share/applications/tervane.desktop
  if [ -f "$desktop" ] && need desktop-file-validate desktop-file-utils; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate rejects it: $out"
    if echo "$out" | grep -qE 'error:|warning:'; then
      fail "desktop-file-validate: $out"
    elif [ -n "$out" ]; then
      echo "desktop-file-validate: $out"
    fi
    key() { sed -n "/^\[Desktop Entry\]/,/^\[/s/^$1=//p" "$desktop"; }
    [ "$(key Exec)" = tervane ] || fail "Exec is '$(key Exec)', not 'tervane'"
    [ -x "$usr/bin/$(key Exec)" ] || fail "Exec names no installed program"
    [ -n "$(key Name)" ] && [ -n "$(key Comment)" ] || fail "the entry lacks a Name or a Comment"
    for category in Utility Security; do
      key Categories | tr ';' '\n' | grep -qx "$category" || fail "Categories lack $category"
    done
    icon=$(key Icon)
    [ -f "$usr/share/icons/hicolor/48x48/apps/$icon.png" ] &&
      [ -f "$usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
      fail "the icon '$icon' is not installed in both sizes"
  fi

  # --- The software-centre entry --------------------------------------------
  for metainfo in "$usr"/share/metainfo/*.metainfo.xml; do
    [ -f "$metainfo" ] && need appstreamcli appstream || continue
    out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli rejects it: $out"
    if echo "$out" | grep -qE '^[EW]:'; then
      fail "appstreamcli: $out"
    fi
    id=$(grep -oP '(?<=<id>)[^<]+' "$metainfo")
    [ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "the metainfo file is not named after its id $id"
    launchable=$(grep -oP '(?<=<launchable type="desktop-id">)[^<]+' "$metainfo")
    [ -f "$usr/share/applications/$launchable" ] || fail "the launchable $launchable is not installed"
    grep -qP '<image[^>]*>https://[^<]+\.png</image>' "$metainfo" || fail "no screenshot image"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "no release entry for version $version"
  done

  # --- The icons: a 48 x 48 picture and the drawing it is made from ----------
  # What the desktops need: a 48 x 48 PNG, a square drawing librsvg (the
  # renderer of GTK's icons) can read, and the same mark in both. The mark is
  # compared at 16 x 16, where the renderers' different edge smoothing averages
  # out (another renderer's picture of the same drawing differs by about 0.011)
  # while a moved, missing or recoloured shape does not (0.03 and more).
  png=$usr/share/icons/hicolor/48x48/apps/tervane.png
  svg=$usr/share/icons/hicolor/scalable/apps/tervane.svg
  if [ -f "$png" ] && [ -f "$svg" ] && need identify imagemagick && need compare imagemagick &&
    need rsvg-convert librsvg2-bin; then
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG 48x48" ] || fail "the PNG icon is not a 48 x 48 PNG"
    if ! rsvg-convert -f png -o "$tmp/svg-natural.png" "$svg" 2>"$tmp/rsvg.log"; then
      fail "librsvg cannot read the SVG icon: $(cat "$tmp/rsvg.log")"
    else
      size=$(identify -format '%wx%h' "$tmp/svg-natural.png")
      [ "${size%x*}" = "${size#*x}" ] || fail "the SVG icon is not square ($size)"
      rsvg-convert -f png -w 48 -h 48 -o "$tmp/svg-48.png" "$svg"
      convert "$png" -scale 16x16 "PNG32:$tmp/png-16.png"
      convert "$tmp/svg-48.png" -scale 16x16 "PNG32:$tmp/svg-16.png"
      rmse=$(compare -metric RMSE "$tmp/png-16.png" "$tmp/svg-16.png" null: 2>&1 |
        sed -n 's/.*(\(.*\)).*/\1/p' || true)
      awk -v d="$rmse" 'BEGIN { exit !(d != "" && d < 0.02) }' ||
        fail "the SVG icon shows another mark than the PNG icon (RMSE $rmse at 16 x 16)"
    fi
  fi
fi

finish
