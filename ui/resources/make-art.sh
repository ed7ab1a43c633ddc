#!/usr/bin/env bash
# Draws Tervane's window icon (48 x 48, 256 colours) and banner (254 x 80 JPEG)
# from the mark in icon.svg with librsvg and ImageMagick. The results are kept beside this
# script; run it again after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
# The banner's fonts: DejaVu Sans for the name, AR PL UMing for the Chinese line.
source ../../tools/deps.sh
tervane_install_deps fonts-dejavu-core
im=/usr/bin/convert

# The mark is icon.svg (also the scalable icon the desktop shows), drawn at the
# size asked for by librsvg, as GTK draws icons: Debian's ImageMagick reads SVG
# only with an extra package.
mark() {  # size output
  rsvg-convert -f png -w "$1" -h "$1" -o "$2" icon.svg
}

mark 48 /tmp/tervane-icon-$$.png
"$im" /tmp/tervane-icon-$$.png -colors 255 PNG8:icon.png

mark 72 /tmp/tervane-mark-$$.png
"$im" -size 254x80 gradient:'#123a6e'-'#06162c' \
  /tmp/tervane-mark-$$.png -geometry +6+4 -composite \
  -fill '#ffffff' -font DejaVu-Sans-Bold -pointsize 30 -annotate +84+40 'Tervane' \
  -fill '#9cc3f0' -font AR-PL-UMing-CN -pointsize 15 -annotate +86+64 '网页木马扫描与清除' \
  -quality 92 banner.jpg
rm -f /tmp/tervane-icon-$$.png /tmp/tervane-mark-$$.png
