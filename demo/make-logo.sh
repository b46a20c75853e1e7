#!/usr/bin/env bash
# Draws the demo logo that releases carry: 354 x 289 pixels, 24-bit BMP (no colour table,
# pixel array at byte 54), with ImageMagick.
#
#   demo/make-logo.sh OUT.bmp
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUT.bmp" >&2
    exit 2
fi
out=$1
font=DejaVu-Sans-Bold
if ! convert -list font 2>/dev/null | grep -q "Font: $font\$"; then
    font=Helvetica-Bold  # ImageMagick's own fallback when fonts-dejavu-core is missing
fi

tmp=$(mktemp --suffix=.png)
trap 'rm -f "$tmp"' EXIT

# Night sky to horizon, a globe with its grid, an orbit with a satellite, and the name.
convert -size 354x289 gradient:'#06163a'-'#1f6f9f' \
    -fill '#0d3b78' -stroke '#8fd3ff' -strokewidth 2 -draw 'circle 112,150 112,72' \
    -fill none -stroke '#4fa8e0' -strokewidth 1 \
    -draw 'ellipse 112,150 78,26 0,360' -draw 'ellipse 112,150 78,56 0,360' \
    -draw 'ellipse 112,150 30,78 0,360' -draw 'ellipse 112,150 60,78 0,360' \
    -draw 'line 34,150 190,150' -draw 'line 112,72 112,228' \
    -fill '#3aa655' -stroke none -draw 'polygon 80,110 120,96 140,120 128,150 100,160 84,140' \
    -draw 'polygon 120,170 150,166 160,190 136,206 118,192' \
    -fill none -stroke '#ffd23f' -strokewidth 2 -draw 'ellipse 112,150 120,38 200,520' \
    -fill '#d9d9d9' -stroke '#404040' -strokewidth 1 -draw 'rectangle 214,92 230,108' \
    -fill '#2d6cdf' -draw 'rectangle 190,96 210,104' -draw 'rectangle 234,96 254,104' \
    -stroke '#ffd23f' -draw 'line 222,108 222,116' \
    -fill none -stroke '#ffffff' -strokewidth 1 \
    -draw 'arc 206,112 238,144 20,160' -draw 'arc 198,108 246,156 30,150' \
    -stroke none -fill white -font "$font" -pointsize 30 -annotate +186+218 'MIRADOR' \
    -fill '#ffd23f' -pointsize 14 -annotate +188+240 'Actualizacion GPS' \
    -fill '#8fd3ff' -pointsize 11 -annotate +188+258 'receptores SiRF' \
    "$tmp"
convert "$tmp" -alpha off -type TrueColor -define bmp:format=bmp3 -compress none "BMP3:$out"
