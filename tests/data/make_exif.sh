#!/usr/bin/env bash
# Writes the EXIF samples under exif/ with ImageMagick (convert) and exiftool
# (Debian: imagemagick, libimage-exiftool-perl). The tests read the files; they never run this.
# Run from anywhere: tests/data/make_exif.sh
set -euo pipefail
cd "$(dirname "$0")"
out=exif
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# exiftool takes -config only as its first argument.
et() { exiftool -config "$work/unknown.config" -q -q -overwrite_original -P "$@"; }

# One user-defined tag that no EXIF library has a name for: 0xEA1C in the Exif directory.
cat >"$work/unknown.config" <<'CONFIG'
%Image::ExifTool::UserDefined = (
    'Image::ExifTool::Exif::Main' => {
        0xea1c => { Name => 'UnnamedTest', Writable => 'int16u', WriteGroup => 'ExifIFD' },
    },
);
1;
CONFIG

# camera.jpg: main image, Exif and GPS directories (south, west) and a JPEG thumbnail in IFD1.
convert -size 16x12 xc:'#336699' -strip "$work/thumb.jpg"
convert -size 64x48 gradient:red-blue -strip -quality 80 "$out/camera.jpg"
et -Make=Acme -Model='Cam "1"' -XResolution=72 -YResolution=72 -ResolutionUnit=inches \
    -DateTimeOriginal='2024:01:02 03:04:05' -ExposureTime=1/125 -FNumber=2.8 \
    -GPSLatitude=35.658 -GPSLatitudeRef=S -GPSLongitude=139.7 -GPSLongitudeRef=W \
    "-ThumbnailImage<=$work/thumb.jpg" "$out/camera.jpg"

# unknown_tag.jpg: a tag without a name in the Exif directory.
convert -size 8x8 xc:gray -strip "$out/unknown_tag.jpg"
et -Make=Acme -UnnamedTest=7 "$out/unknown_tag.jpg"

# no_exif.jpg: a plain JPEG.
convert -size 8x8 xc:gray -strip "$out/no_exif.jpg"

# tagged.tif, tagged.png, tagged.webp: the other containers, GPS north and east in the TIFF.
convert -size 8x8 xc:white -strip -compress none "$out/tagged.tif"
et -Artist=Me -Make=Acme -GPSLatitude=48.8584 -GPSLatitudeRef=N -GPSLongitude=2.2945 \
    -GPSLongitudeRef=E "$out/tagged.tif"
convert -size 8x8 xc:white -strip "$out/tagged.png"
et -Make=Acme -DateTimeOriginal='2024:01:02 03:04:05' "$out/tagged.png"
convert -size 8x8 xc:white -strip -define webp:lossless=true "$out/tagged.webp"
et -Make=Acme -Orientation#=6 "$out/tagged.webp"

# tagged.heic: a HEIC written by ImageMagick with its EXIF item added by exiftool, whose iloc
# entries (version 1) exiv2's own HEIF reader does not follow.
convert "$out/camera.jpg" "$work/plain.heic"
cp "$work/plain.heic" "$out/tagged.heic"
et -Make=Acme -Model='Cam 1' -DateTimeOriginal='2024:01:02 03:04:05' -GPSLatitude=35.658 \
    -GPSLatitudeRef=N -GPSLongitude=139.7 -GPSLongitudeRef=E "$out/tagged.heic"
