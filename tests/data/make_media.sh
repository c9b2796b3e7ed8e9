#!/usr/bin/env bash
# Writes the small audio, video, image and executable samples in media/ (kilobytes each).
# Needs ffmpeg, sox, the webp tools (cwebp, img2webp, webpmux), gcc and clang. The tests only
# read the files; run this again by hand when a sample has to change:
#   tests/data/make_media.sh
set -euo pipefail
cd "$(dirname "$0")/media"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
# No encoder version strings or creation times, so the samples do not change between runs.
exact=(-map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact)

# ISO base media. video.mp4 keeps the muxer's default layout (ftyp, free, mdat, moov at the
# end); audio.m4a moves moov to the front; clip.mov is QuickTime with its 'qt  ' ftyp.
ff -f lavfi -i testsrc=size=32x24:rate=5 -t 1 -c:v libx264 -preset ultrafast -crf 45 \
  -pix_fmt yuv420p "${exact[@]}" video.mp4
ff -f lavfi -i sine=frequency=440:duration=0.5 -c:a aac -b:a 24k "${exact[@]}" \
  -movflags +faststart audio.m4a
ff -f lavfi -i testsrc=size=16x16:rate=4 -t 0.5 -c:v mjpeg -q:v 31 "${exact[@]}" clip.mov

# WAVE: plain PCM from sox, a multichannel 24-bit one (WAVE_FORMAT_EXTENSIBLE) from sox, and
# one from ffmpeg that reserves room for an RF64 header with a JUNK chunk before `fmt `, so
# the walk has a chunk to skip.
sox -R -n -r 8000 -c 1 -b 8 tone.wav synth 0.05 sine 440
sox -R -n -r 48000 -c 6 -b 24 surround.wav synth 0.002 sine 440
ff -f lavfi -i sine=frequency=440:duration=0.02:sample_rate=22050 -c:a pcm_s16le \
  -rf64 auto "${exact[@]}" junk.wav

# MP3 with ID3v2.3 and v2.4 tags. The non-ASCII title makes v2.3 write UTF-16 with a
# byte-order mark (v2.4 writes UTF-8); the ASCII fields stay ISO-8859-1.
for v in 3 4; do
  ff -f lavfi -i sine=frequency=440:duration=0.1 -c:a libmp3lame -b:a 32k \
    -fflags +bitexact -flags:a +bitexact -write_xing 0 -id3v2_version "$v" \
    -metadata title="Grüße ☃" -metadata artist="Sample Artist" -metadata album="Sample Album" \
    -metadata date=2024 -metadata genre="(13)Pop" -metadata track=3/12 \
    -metadata album_artist="Various" -metadata composer="A. Composer" \
    -metadata comment="not reported" "id3v2${v}.mp3"
done

# WebP: lossy (VP8), lossless (VP8L), lossy with alpha (VP8X + ALPH), animated (VP8X + ANIM)
# and one with an EXIF chunk added by webpmux.
ff -f lavfi -i testsrc=size=40x30 -frames:v 1 "$tmp/rgb.png"
ff -f lavfi -i "color=c=red@0.5:size=24x20,format=rgba" -frames:v 1 "$tmp/rgba.png"
ff -f lavfi -i testsrc=size=40x30 -vf hflip -frames:v 1 "$tmp/rgb2.png"
cwebp -quiet -q 20 "$tmp/rgb.png" -o lossy.webp
cwebp -quiet -lossless "$tmp/rgb.png" -o lossless.webp
cwebp -quiet -q 20 "$tmp/rgba.png" -o alpha.webp
img2webp -loop 0 -lossy -q 20 "$tmp/rgb.png" "$tmp/rgb2.png" -o animated.webp 2>/dev/null
# A little-endian TIFF header and an empty first directory: the smallest EXIF block.
printf 'II*\0\10\0\0\0\0\0\0\0\0\0' >"$tmp/exif.bin"
webpmux -set exif "$tmp/exif.bin" lossy.webp -o exif.webp >/dev/null 2>&1

# ELF: a 512-byte static executable, a position-independent executable, a shared object,
# relocatable objects for other machines (several big-endian) and an ifunc object, which
# marks itself with the GNU/Linux ABI.
cat >"$tmp/tiny.c" <<'C'
void _start(void) { __asm__ volatile("mov $60, %eax\n\txor %edi, %edi\n\tsyscall"); }
C
cat >"$tmp/lib.c" <<'C'
int answer(void) { return 42; }
C
cat >"$tmp/ifunc.c" <<'C'
static int impl(void) { return 1; }
static int (*resolve(void))(void) { return impl; }
int pick(void) __attribute__((ifunc("resolve")));
C
small=(-Os -s -nostdlib -fno-asynchronous-unwind-tables -Wl,--build-id=none -Wl,-z,norelro
  -Wl,-z,max-page-size=16 -Wl,-z,noseparate-code)
gcc "${small[@]}" -static -Wl,-n -o tiny.elf "$tmp/tiny.c"
gcc "${small[@]}" -fpie -pie -Wl,--no-dynamic-linker -o tiny-pie.elf "$tmp/tiny.c" 2>/dev/null
gcc "${small[@]}" -shared -fpic -o lib.so "$tmp/lib.c" 2>/dev/null
gcc -Os -c -fno-asynchronous-unwind-tables -o ifunc.o "$tmp/ifunc.c"
strip -g ifunc.o
for target in i386-linux-gnu aarch64_be-linux-gnu armeb-linux-gnueabi riscv64-linux-gnu \
  mips-linux-gnu x86_64-unknown-freebsd sparcv9-sun-solaris; do
  clang --target="$target" -Os -c -fno-asynchronous-unwind-tables -o "lib-$target.o" "$tmp/lib.c"
  strip -g "lib-$target.o" 2>/dev/null || true
done
