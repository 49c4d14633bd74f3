#!/bin/bash
# Draws the program's icon and the tool bar pictures used where the desktop
# theme has none, as PNG files beside this script. Each is drawn large and
# scaled down, so its edges are smooth. Needs ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
im=/usr/bin/convert

# draw NAME SIZE... -- DRAW-ARGUMENTS: a drawing in 96x96 coordinates, made
# at 512x512 and scaled down to each size.
draw() {
    local name=$1
    shift
    local sizes=()
    while [[ $1 != -- ]]; do
        sizes+=("$1")
        shift
    done
    shift
    for size in "${sizes[@]}"; do
        "$im" -size 512x512 xc:none -affine 5.3333,0,0,5.3333,0,0 -draw "stroke-linejoin round" "$@" -resize "${size}x${size}" \
            -define png:exclude-chunks=date,time "PNG32:${name}-${size}.png"
    done
}

page=(-fill white -stroke '#555753' -strokewidth 4 -draw 'polygon 20,6 58,6 78,26 78,90 20,90'
      -fill '#d3d7cf' -draw 'polygon 58,6 58,26 78,26')
floppy=(-fill '#3465a4' -stroke '#204a87' -strokewidth 4 -draw 'roundrectangle 10,10 86,86 8,8'
        -stroke none -fill '#eeeeec' -draw 'rectangle 24,12 72,40'
        -fill '#3465a4' -draw 'rectangle 58,17 66,35'
        -fill '#babdb6' -draw 'rectangle 26,58 70,84')

draw document-new 24 48 -- "${page[@]}" \
    -stroke none -fill '#4e9a06' -draw 'circle 68,72 68,52' \
    -fill white -draw 'rectangle 64,60 72,84' -draw 'rectangle 56,68 80,76'
draw document-open 24 48 -- \
    -fill '#c4a000' -stroke '#8f5902' -strokewidth 4 -draw 'polygon 6,20 34,20 42,28 88,28 88,82 6,82' \
    -fill '#fce94f' -draw 'polygon 6,82 18,42 94,42 88,82'
draw document-save 24 48 -- "${floppy[@]}"
draw document-save-as 24 48 -- "${floppy[@]}" \
    -fill '#f57900' -stroke '#ce5c00' -strokewidth 3 -draw 'polygon 52,92 56,74 84,46 94,56 66,84' \
    -fill '#fcaf3e' -stroke none -draw 'polygon 52,92 56,74 66,84'
draw document-properties 24 48 -- "${page[@]}" \
    -stroke '#555753' -strokewidth 5 -draw 'line 32,40 66,40' -draw 'line 32,54 66,54' -draw 'line 32,68 56,68'
draw preferences-system 24 48 -- \
    -stroke '#555753' -strokewidth 7 -draw 'line 12,24 84,24' -draw 'line 12,48 84,48' -draw 'line 12,72 84,72' \
    -fill '#3465a4' -stroke '#204a87' -strokewidth 4 \
    -draw 'circle 32,24 32,13' -draw 'circle 64,48 64,37' -draw 'circle 42,72 42,61'
draw application-exit 24 48 -- \
    -fill '#8f5902' -stroke '#5c3a00' -strokewidth 4 -draw 'rectangle 12,8 52,88' \
    -fill '#e9b96e' -stroke none -draw 'circle 44,50 44,45' \
    -fill '#cc0000' -stroke '#a40000' -strokewidth 3 -draw 'polygon 40,40 62,40 62,26 90,48 62,70 62,56 40,56'

# The program: a letter before a stack of letters on a blue tile.
draw varnholt 16 32 48 64 128 256 -- \
    -fill '#1f5f99' -stroke '#163f66' -strokewidth 2 -draw 'roundrectangle 4,4 92,92 16,16' \
    -fill '#9fc3e6' -stroke '#163f66' -strokewidth 2 -draw 'rectangle 30,20 82,54' \
    -fill '#c9ddf0' -draw 'rectangle 22,28 74,62' \
    -fill white -strokewidth 3 -draw 'rectangle 12,38 70,78' \
    -fill none -stroke '#1f5f99' -strokewidth 4 -draw 'polyline 14,40 41,62 68,40' \
    -fill '#f5c211' -stroke '#163f66' -strokewidth 2 -draw 'circle 72,74 72,64'
