"""The "png" section: the chunk walk and the header, text, time, gamma and density chunks."""

import struct
import zlib

import pytest

from image_support import check_sample, read_both_ways, samples

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(kind: bytes, data: bytes, length: int | None = None) -> bytes:
    stored = len(data) if length is None else length
    return struct.pack(">I", stored) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(*chunks: bytes) -> dict | None:
    return read_both_ways(SIGNATURE + b"".join(chunks)).get("png")


def ihdr(color: int = 2, interlace: int = 0) -> bytes:
    return chunk(b"IHDR", struct.pack(">IIBBBBB", 640, 480, 8, color, 0, 0, interlace))


@pytest.mark.parametrize("data", [SIGNATURE[:7], b"\x88" + SIGNATURE[1:], SIGNATURE[:7] + b"\x0b"])
def test_not_a_png(data):
    assert "png" not in read_both_ways(data)


@pytest.mark.parametrize(
    "chunks, listed",
    [
        ([], []),
        ([b"\x00\x00\x00"], []),
        ([chunk(b"sRGB", b"\x00"), chunk(b"IDAT", b"x" * 100), chunk(b"IEND", b""),
          chunk(b"tEXt", b"a\x00b")],
         [("sRGB", 8, 1), ("IDAT", 21, 100), ("IEND", 133, 0)]),
        # Cut short: listed with its stored length, and the walk ends there.
        ([chunk(b"IDAT", b"xy", length=50), chunk(b"IEND", b"")], [("IDAT", 8, 50)]),
        ([chunk(b"zzzz", b"", length=0xFFFFFFFF), chunk(b"IEND", b"")], [("zzzz", 8, 0xFFFFFFFF)]),
        # Without IEND the walk goes to the end of the data.
        ([chunk(b"abcd", b"12"), chunk(b"\xc9\xff\x00\x80", b"")],
         [("abcd", 8, 2), ("\u00c9\u00ff\x00\u0080", 22, 0)]),
    ],
)
def test_chunk_walk(chunks, listed):
    section = png(*chunks)
    assert [(c["type"], c["offset"], c["length"]) for c in section["chunks"]] == listed
    assert set(section) == {"chunks"}


@pytest.mark.parametrize(
    "chunks, expected",
    [
        ([ihdr()], dict(width=640, height=480, bit_depth=8, color_type="RGB", interlaced=False)),
        ([ihdr(6, 1)], dict(width=640, height=480, bit_depth=8, color_type="RGBA",
                            interlaced=True)),
        ([ihdr(5, 2)], dict(width=640, height=480, bit_depth=8, color_type="unknown",
                            interlaced=False)),
        ([chunk(b"IHDR", b"\x00" * 12)], {}),
        # The type must match byte for byte; a byte above 0x7F never matches.
        ([chunk(b"IHDr", ihdr()[8:21]), chunk(b"IHD\xd2", ihdr()[8:21])], {}),
        ([chunk(b"tEXt", b"Title\x00My picture")], dict(text={"Title": "My picture"})),
        ([chunk(b"tEXt", b"no zero byte")], {}),
        ([chunk(b"tEXt", b"A\x001"), chunk(b"tEXt", b"B\x00"), chunk(b"tEXt", b"A\x002\x003")],
         dict(text={"A": "2\x003", "B": ""})),
        # ISO-8859-1 text is kept (the PNG specification's encoding); UTF-8 text is taken as is.
        ([chunk(b"tEXt", b"Auteur\x00\xe9t\xe9 \xa9"), chunk(b"tEXt", "K\u00e9y\x00\u20ac".encode())],
         dict(text={"Auteur": "\u00e9t\u00e9 \u00a9", "K\u00e9y": "\u20ac"})),
        ([chunk(b"tIME", struct.pack(">HBBBBB", 2024, 1, 5, 10, 3, 9))],
         dict(last_modified="2024-01-05T10:03:09Z")),
        ([chunk(b"tIME", struct.pack(">HBBBBB", 99, 13, 0, 24, 60, 99))],
         dict(last_modified="0099-13-00T24:60:99Z")),
        ([chunk(b"tIME", struct.pack(">HBBBBB", 65535, 1, 1, 0, 0, 0)[:6])], {}),
        ([chunk(b"gAMA", struct.pack(">I", 45455))], dict(gamma=0.45455)),
        ([chunk(b"gAMA", b"\x00\x00\xb1")], {}),
        ([chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1))], dict(dpi=72.0)),
        ([chunk(b"pHYs", struct.pack(">IIB", 3780, 1, 1))], dict(dpi=96.0)),
        ([chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 0))], {}),
        ([chunk(b"pHYs", struct.pack(">II", 2835, 2835))], {}),
        # The last of repeated header chunks wins; chunks after IEND are never read.
        ([chunk(b"gAMA", struct.pack(">I", 1)), chunk(b"gAMA", struct.pack(">I", 100000)),
          chunk(b"IEND", b""), chunk(b"gAMA", struct.pack(">I", 7))], dict(gamma=1.0)),
        ([chunk(b"tEXt", b"A\x00b", length=40)], {}),
    ],
)
def test_chunk_facts(chunks, expected):
    section = png(*chunks)
    del section["chunks"]
    assert section == expected


@pytest.mark.parametrize("path", samples(".png"), ids=lambda p: p.name)
def test_samples(path):
    check_sample(path, "png")
