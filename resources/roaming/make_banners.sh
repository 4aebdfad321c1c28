#!/usr/bin/env bash
# Draws the three local banner pictures of the per-user defaults (ImageMagick). Run from this
# folder; the GIFs are kept in the tree, this script is their source.
set -euo pipefail
draw() {  # file accent-colour label
  convert -size 468x120 gradient:'#f4f6f8'-'#e3e9ef' \
    -fill "$2" -draw 'roundrectangle 24,30 84,90 12,12' \
    -fill white -draw 'rectangle 38,44 70,50' -draw 'rectangle 38,57 70,63' -draw 'rectangle 38,70 62,76' \
    -fill '#2d3e50' -font DejaVu-Sans-Bold -pointsize 30 -annotate +104+66 'Quarlo' \
    -fill '#5b6b7b' -font DejaVu-Sans -pointsize 14 -annotate +106+90 "$3" \
    -colors 32 "$1"
}
draw banner_ch.gif '#1f8fe0' 'Your folders, on your phone'
draw banner_en.gif '#1f8fe0' 'Your folders, on your phone'
draw banner_tw.gif '#1f8fe0' 'Your folders, on your phone'
