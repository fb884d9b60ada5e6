#!/usr/bin/env bash
# Draws the program's pictures with ImageMagick: one 150 x 150 badge per truck
# make (a plain rounded plate with the make's name) and the program icon.
# The results are kept in the repository, so a build needs no ImageMagick;
# run this again after changing it, or replace a logo_*.bmp by hand (any
# 150 x 150, 24-bit BMP) and rebuild.
set -euo pipefail
cd "$(dirname "$0")"

command -v convert >/dev/null || { echo "make-logos.sh: ImageMagick (convert) is needed" >&2; exit 1; }

font=DejaVu-Sans-Bold

# make  plate colour  text colour
badge() {
    local name=$1 plate=$2 ink=$3 out
    out=logo_$(echo "$name" | tr 'A-Z' 'a-z').bmp
    convert -size 150x150 xc:white \
        -fill "$plate" -stroke '#303030' -strokewidth 3 -draw 'roundrectangle 8,30 141,119 18,18' \
        -stroke none \( -background none -fill "$ink" -font "$font" -size 118x48 -gravity center \
        "label:$name" \) -gravity center -composite \
        -alpha off -type TrueColor -define bmp:format=bmp3 "BMP3:$out"
    echo "$out"
}

badge DAF      '#4a6fa5' white
badge MAN      '#8c8c8c' white
badge IVECO    '#2e7d5b' white
badge MERCEDES '#5d5d6e' white
badge SCANIA   '#b5651d' white
badge RENAULT  '#d4b02a' '#202020'
badge VOLVO    '#6b3e75' white

# The icon: a module on a cable, in 48, 32 and 16 pixels.
icon() {
    local s=$1
    convert -size 64x64 xc:none \
        -fill '#1f4e79' -draw 'roundrectangle 2,2 61,61 12,12' \
        -fill white -draw 'roundrectangle 14,12 49,40 4,4' \
        -fill '#1f4e79' -draw 'rectangle 20,18 43,22' -draw 'rectangle 20,27 36,31' \
        -fill white -draw 'rectangle 29,40 34,54' -draw 'rectangle 20,50 43,55' \
        -resize "${s}x${s}" "icon_$s.png"
}
icon 48
icon 32
icon 16
convert icon_48.png icon_32.png icon_16.png program.ico
rm -f icon_48.png icon_32.png icon_16.png
echo program.ico
