#!/usr/bin/env bash
# Draws Tervane's window icon (48 x 48, 256 colours) and banner (254 x 80 JPEG)
# with ImageMagick. The results are kept beside this script; run it again after
# changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
im=/usr/bin/convert

# The mark: a shield holding a magnifying glass whose lens crosses out a frame.
mark() {  # size output
  local s=$1
  "$im" -size 480x480 xc:none \
    -fill '#1d4f91' -stroke '#0b2547' -strokewidth 14 \
    -draw "path 'M 240,24 L 432,92 L 432,236 Q 432,376 240,456 Q 48,376 48,236 L 48,92 Z'" \
    -fill '#2f74c8' -stroke none \
    -draw "path 'M 240,56 L 404,114 L 404,236 Q 404,356 240,424 Z'" \
    -fill none -stroke '#f5f7fa' -strokewidth 34 -draw "circle 212,206 212,110" \
    -stroke '#f5f7fa' -strokewidth 46 -draw "line 282,276 356,350" \
    -fill '#ffffff' -stroke none -draw "circle 212,206 212,128" \
    -fill none -stroke '#8a97a8' -strokewidth 10 -draw "rectangle 160,168 264,244" \
    -stroke '#d7262e' -strokewidth 20 -draw "line 152,150 272,262" \
    -resize "${s}x${s}" "$2"
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
