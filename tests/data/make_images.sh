#!/usr/bin/env bash
# Writes the small image samples in images/ with ImageMagick 6 (Debian's imagemagick package).
# Run from this folder: ./make_images.sh. The tests only read the files; they never run this.
# Date and time chunks are left out so that running it again gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/images"
CONVERT=${CONVERT:-convert}
nodates=(+set date:create +set date:modify +set date:timestamp -define png:exclude-chunk=date,time)

# JPEG: baseline 4:2:0 colour at quality 75 with a comment and a 72 dpi JFIF density; a
# progressive grayscale at quality 90 in dots per centimetre.
$CONVERT -size 24x16 gradient:red-blue -density 72 -units PixelsPerInch \
  -set comment "made for vorandix" -quality 75 -sampling-factor 2x2 baseline.jpg
$CONVERT -size 16x24 gradient:white-black -colorspace Gray -strip -density 28 \
  -units PixelsPerCentimeter -interlace JPEG -quality 90 progressive_gray.jpg

# PNG: an interlaced palette image with a tEXt comment; a 16-bit RGBA image at 96 dpi.
$CONVERT -size 20x10 gradient:yellow-green -colors 8 "${nodates[@]}" \
  -set comment "palette sample" -interlace PNG PNG8:palette_interlaced.png
$CONVERT -size 12x12 gradient:'rgba(255,0,0,1)'-'rgba(0,0,255,0.2)' "${nodates[@]}" \
  -density 96 -units PixelsPerInch -depth 16 PNG64:rgba16.png

# GIF: three frames looping forever, each after the first with a local colour table; one still
# frame.
$CONVERT -delay 10 -loop 0 -size 8x8 xc:red xc:lime \( -size 8x8 xc:blue +remap \) \
  animated.gif
$CONVERT -size 10x6 gradient:black-white -colors 4 still.gif

# BMP: a bottom-up 24-bit BMP3, an 8-bit RLE8 BMP3 and a 32-bit BMP4 with bitfields.
$CONVERT -size 7x5 gradient:red-blue -type TrueColor BMP3:rgb24.bmp
$CONVERT -size 16x8 gradient:black-white -colors 16 -type Palette -compress RLE BMP3:rle8.bmp
$CONVERT -size 6x4 gradient:'rgba(0,255,0,1)'-'rgba(0,0,0,0.5)' -type TrueColorAlpha \
  -define bmp:format=bmp4 argb32.bmp
