"""Writes sample.png: a 16x16 gradient with a title, a density and a modification time.

Run from this folder: python3 make_sample.py
"""

import struct
import zlib


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def main() -> None:
    width = height = 16
    rows = b"".join(
        b"\x00" + b"".join(bytes((x * 16, y * 16, 128)) for x in range(width)) for y in range(height)
    )
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"gAMA", struct.pack(">I", 45455))
    png += chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1))
    png += chunk(b"tIME", struct.pack(">HBBBBB", 2024, 1, 5, 10, 3, 9))
    png += chunk(b"tEXt", b"Title\x00Gradient sample")
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    with open("sample.png", "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
