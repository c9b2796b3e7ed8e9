"""Writes the regression inputs: one small file per fault fixed, named after the fault.

Each input's expected result (parse_bytes, whole) is in expected.json beside it, and
tests/python/test_regressions.py replays every input in this folder; the fuzz targets replay
them too. Run from anywhere: python tests/regressions/make_inputs.py
"""

import pathlib
import re
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent

# IJG's luminance table (ITU-T T.81 K.1), natural order, and the zig-zag order DQT stores.
K1 = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57,
      69, 56, 14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64,
      81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34,
          27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37,
          44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def frame():
    return segment(0xC0, bytes([8]) + struct.pack(">HH", 16, 16) + bytes([1, 1, 0x11, 0]))


def png_chunk(kind, data, crc=True):
    tail = struct.pack(">I", zlib.crc32(kind + data)) if crc else b""
    return struct.pack(">I", len(data)) + kind + data + tail


PNG_HEAD = b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0))


def box(kind, data):
    return struct.pack(">I", 8 + len(data)) + kind + data


def tiff_make(text):
    """A little-endian TIFF block whose IFD0 holds only Make."""
    value = text.encode() + b"\0"
    return b"II*\0" + struct.pack("<IHHHII", 8, 1, 271, 2, len(value), 26) + b"\0\0\0\0" + value


def quality_75():
    scale = 200 - 2 * 75
    natural = [min(255, max(1, (v * scale + 50) // 100)) for v in K1]
    table = bytes(natural[ZIGZAG[k]] for k in range(64))
    return b"\xff\xd8" + segment(0xDB, b"\0" + table) + frame() + b"\xff\xd9"


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3(major, flags, frames, head=b"", unsync=False):
    """An ID3v2 tag: `head`, then (id, data) frames and padding; the audio's first bytes after it."""
    size = syncsafe if major == 4 else lambda n: struct.pack(">I", n)
    body = head + b"".join(fid + size(len(data)) + b"\0\0" + data for fid, data in frames)
    if unsync:  # a 0x00 after each 0xFF followed by 0x00, by 0xE0 or more, or by nothing
        body = re.sub(rb"\xff(?=[\x00\xe0-\xff]|\Z)", b"\xff\x00", body)
    body += bytes(64)
    return b"ID3" + bytes([major, 0, flags]) + syncsafe(len(body)) + body + b"\xff\xfb\x90\x64" + bytes(60)


def pdf_with_info(info):
    """A one-page PDF with a cross-reference table, whose information dictionary is `info`."""
    out, offsets = b"%PDF-1.5\n%\xe2\xe3\xcf\xd3\n", []
    for number, body in enumerate([b"<</Type/Catalog/Pages 2 0 R>>", b"<</Type/Pages/Kids[3 0 R]/Count 1>>",
                                   b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]>>", info], 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (number, body)
    xref = b"xref\n0 5\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offsets)
    return out + xref + b"trailer\n<</Size 5/Root 1 0 R/Info 4 0 R>>\nstartxref\n%d\n%%%%EOF\n" % len(out)


def inputs():
    yield "jpeg-quality-in-zigzag-order.jpg", quality_75()
    # Fill bytes before the frame marker: FF FF FF C0 is one SOF0 segment.
    yield "jpeg-fill-bytes-before-marker.jpg", b"\xff\xd8\xff\xff" + frame() + b"\xff\xd9"
    yield "png-text-latin1.png", PNG_HEAD + png_chunk(b"tEXt", b"Copyright\0\xa9 2024 K\xf6ln") + png_chunk(b"IEND", b"")
    # The last chunk's data ends at the end of the file: its CRC is missing, its text is not.
    yield "png-chunk-data-at-end-of-file.png", PNG_HEAD + png_chunk(b"tEXt", b"Title\0cut", crc=False)
    title = "\ufeffBig".encode("utf-16-be")
    frame_data = b"\x01" + title
    yield "id3-utf16-big-endian-mark.mp3", b"ID3\x03\0\0" + bytes([0, 0, 0, 10 + len(frame_data)]) + b"TIT2" + struct.pack(">I", len(frame_data)) + b"\0\0" + frame_data
    # exiv2 descends one call per nested box; 12,000 levels overflowed its stack.
    levels = 12_000
    nested = b"".join(struct.pack(">I", 8 * (levels - i)) + b"iprp" for i in range(levels))
    yield "heif-deep-box-nesting.heic", box(b"ftyp", b"heic\0\0\0\0mif1heic") + nested
    chunks = b"VP8X" + struct.pack("<I", 10) + b"\x08" + bytes(9)
    chunks += b"VP8L" + struct.pack("<I", 6) + bytes.fromhex("2f0000000000")
    chunks += b"EXIF" + struct.pack("<I", 8) + b"XX*\0\x08\0\0\0"
    yield "webp-exif-undecodable-warning.webp", b"RIFF" + struct.pack("<I", len(chunks) + 4) + b"WEBP" + chunks
    block = b"Exif\0\0" + tiff_make("Kept")
    yield "jpeg-exif-before-truncated-icc.jpg", b"\xff\xd8" + segment(0xE1, block) + b"\xff\xe2\x03\xe8ICC_PROFILE\0"
    # 100 nested moov boxes with mvhd innermost: the walk stops descending at 64 levels.
    mvhd = box(b"mvhd", bytes(12) + struct.pack(">II", 1000, 5000))
    inner = mvhd
    for _ in range(100):
        inner = box(b"moov", inner)
    yield "mp4-moov-nested-100-deep.mp4", box(b"ftyp", b"isom\0\0\0\0") + inner
    # ID3v2.4 with an extended header (12 bytes with a CRC), which was read as a frame header.
    texts = [(b"TIT2", "One Second of Silence"), (b"TPE1", "Sample Artist"), (b"TALB", "Test Tones"),
             (b"TDRC", "2024"), (b"TSSE", "encoder 1.0")]
    yield "id3-v24-extended-header-skipped.mp3", id3(4, 0x40, [(f, b"\x03" + t.encode()) for f, t in texts],
                                                     head=syncsafe(12) + bytes.fromhex("0120050a3b115c07"))
    # ID3v2.3 unsynchronised: the 0x00 after FF in each big-endian mark shifted the UTF-16 text.
    texts = [(b"TIT2", "My babe just cares for me"), (b"TPE1", "Sample Singer"), (b"TALB", "Sample Album \u00ff")]
    yield "id3-v23-unsynchronisation-undone.mp3", id3(
        3, 0x80, [(f, b"\x01\xfe\xff" + t.encode("utf-16-be") + b"\0\0") for f, t in texts], unsync=True)
    # ID3v2.4 whose first frame is an empty TENC: the walk stopped there.
    texts = [(b"TIT2", "Sample Title"), (b"TPE1", "Sample Artist"), (b"TALB", "Sample Album"), (b"TCOM", "Sample Composer")]
    yield "id3-v24-empty-frame-skipped.mp3", id3(
        4, 0, [(b"TENC", b"")] + [(f, b"\x01" + t.encode("utf-16") + b"\0\0") for f, t in texts])
    # Information strings in UTF-16BE with a byte-order mark, raw (as office suites and image
    # tools write them) and as octal escapes (as hyperref writes them).
    utf16 = lambda text: re.sub(rb"([()\\])", rb"\\\1", "\ufeff{}".format(text).encode("utf-16-be"))
    yield "pdf-info-utf16-with-byte-order-mark.pdf", pdf_with_info(
        b"<</Title (" + utf16("Quarterly figures (draft) \u2013 \u00e9t\u00e9 \U0001F4C8") + b")"
        b"/Author (" + utf16("Z\u00fcrich Office") + b")/Producer (" + utf16("Sample Writer 16.0") + b")>>")
    octal = lambda text: b"".join(b"\\%03o" % b for b in "\ufeff{}".format(text).encode("utf-16-be"))
    yield "pdf-info-octal-escaped-utf16.pdf", pdf_with_info(
        b"<</Title (" + octal("The Title") + b")/Author (" + octal("J\u00fcrgen M\u00fcller") + b")"
        b"/Creator (LaTeX with hyperref)/Producer (pdfTeX-1.40.25)/CreationDate (D:20240131120000Z)>>")
    # Escapes and a line continuation; an unmarked string that is not UTF-8 is PDFDocEncoding.
    yield "pdf-info-escapes-and-pdfdoc.pdf", pdf_with_info(
        b"<</Title (Line one\\nLine two\\t\\(tabbed\\) back\\\\slash \\101\\102C)"
        b"/Subject (a long subject \\\r\ncontinued here)/Keywords (\x93nal \x8dquotes\x8e \\200 \xa0 5)"
        b"/Author (\xef\xbb\xbfRen\xc3\xa9e)>>")

def exif_inputs():
    # Container structures exiv2 parsed on its own before it found the EXIF block, or not.
    entities = '<!ENTITY a "' + "x" * 64 + '">' + "".join(
        f'<!ENTITY {chr(98 + i)} "{("&" + chr(97 + i) + ";") * 10}">' for i in range(3))
    packet = f'<?xml version="1.0"?><!DOCTYPE x [{entities}]><x:xmpmeta xmlns:x="adobe:ns:meta/">&d;</x:xmpmeta>'
    xmp = png_chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0" + packet.encode())
    yield "exif-png-xmp-entity-packets.png", PNG_HEAD + xmp * 16 + png_chunk(b"IEND", b"")
    yield "exif-png-cut-after-a-whole-chunk.png", PNG_HEAD
    yield "exif-jpeg-three-bytes.jpg", b"\xff\xd8\xff"
    # 100 meta boxes whose Exif item is one TIFF block: decoded once.
    blob = b"\0\0\0\0" + tiff_make("Shared")
    infe = box(b"infe", b"\2\0\0\0" + struct.pack(">HH", 1, 0) + b"Exif\0")
    iinf = box(b"iinf", b"\0\0\0\0" + struct.pack(">H", 1) + infe)
    ftyp = box(b"ftyp", b"heic\0\0\0\0mif1heic")

    def meta(offset):
        iloc = box(b"iloc", b"\0\0\0\0\x44\x00" + struct.pack(">HHHHII", 1, 1, 0, 1, offset, len(blob)))
        return box(b"meta", b"\0\0\0\0" + iinf + iloc)

    head = ftyp + meta(0) * 100
    yield "exif-heic-meta-boxes-sharing-one-item.heic", ftyp + meta(len(head) + 8) * 100 + box(b"mdat", blob)


def main():
    for name, data in [*inputs(), *exif_inputs()]:
        (HERE / name).write_bytes(data)


if __name__ == "__main__":
    main()
