"""The "jpeg" section: the segment walk, the frame header, payload kinds and the quality estimate."""

import struct

import pytest

from image_support import check_sample, read_both_ways, samples

K1 = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]  # fmt: skip
ZIGZAG = [
    0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
]  # fmt: skip
XMP = b"http://ns.adobe.com/xap/1.0/\x00"


def seg(marker: int, payload: bytes) -> bytes:
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def jpeg(*parts: bytes) -> dict | None:
    return read_both_ways(b"\xff\xd8" + b"".join(parts)).get("jpeg")


def ijg_table(quality: int) -> bytes:
    """The luminance table an IJG-style encoder writes for `quality`, in zig-zag order."""
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    natural = [min(255, max(1, (k * scale + 50) // 100)) for k in K1]
    return bytes(natural[z] for z in ZIGZAG)


def dqt(table: bytes, first: int = 0) -> bytes:
    return seg(0xDB, bytes([first]) + table)


def walk(section: dict) -> list[tuple]:
    return [(s["marker"], s["offset"], s["length"]) for s in section["segments"]]


@pytest.mark.parametrize(
    "data",
    [b"\xff\xd8", b"\xff\xd8\x00", b"\xff\xd9\xff", b"\xff\xd8\xfe", b""],
)
def test_not_a_jpeg(data):
    assert "jpeg" not in read_both_ways(data)


@pytest.mark.parametrize(
    "parts, segments, scan",
    [
        ([b"\xff"], [], None),
        # Stray bytes, RST markers and a second SOI are stepped over without a record.
        ([seg(0xEE, b""), b"\x00\x12", b"\xff\xd0\xff\xd7\xff\xd8", seg(0xE0, b"ab")],
         [("FFEE", 2, 2), ("FFE0", 14, 4)], None),
        # A fill byte before a marker belongs to that marker.
        ([b"\xff\xff\xff", seg(0xC4, b"xx")], [("FFC4", 5, 4)], None),
        # Lengths below 2 are recorded as stored; the walk moves on by 2 + length.
        ([b"\xff\xdd\x00\x00", b"\xff\xdd\x00\x01", b"\x00", seg(0xEE, b"")],
         [("FFDD", 2, 0), ("FFDD", 6, 1), ("FFEE", 11, 2)], None),
        # A length past the end is recorded; nothing after it fits.
        ([b"\xff\xe1\x10\x00Exif\x00\x00"], [("FFE1", 2, 4096)], None),
        ([seg(0x01, b""), b"\xff\xd9", seg(0xFE, b"after EOI")], [("FF01", 2, 2)], None),
        # SOS is the last entry; later scans and EOI are never listed.
        ([seg(0xDA, b"\x01\x02\x03"), seg(0xDA, b""), b"\xff\xd9"], [("FFDA", 2, 5)], 9),
        ([b"\xff\xda\x00\x40"], [("FFDA", 2, 64)], 68),
    ],
)
def test_segment_walk(parts, segments, scan):
    section = jpeg(*parts)
    assert walk(section) == segments
    assert section.get("scan_data_offset") == scan


FRAME = bytes([8, 0x01, 0xE0, 0x02, 0x80, 3])


@pytest.mark.parametrize(
    "parts, expected",
    [
        ([seg(0xC0, FRAME)], dict(bit_depth=8, height=480, width=640, components=3,
                                  progressive=False, color_space_guess="YCbCr/RGB")),
        ([seg(0xC2, bytes([12, 0, 1, 0, 2, 1]))], dict(bit_depth=12, height=1, width=2,
         components=1, progressive=True, color_space_guess="grayscale")),
        ([seg(0xC3, FRAME[:5] + b"\x02"), seg(0xC0, FRAME[:5])], dict(bit_depth=8, height=480,
         width=640, components=2, progressive=False, color_space_guess="unknown")),
        ([seg(0xC0, FRAME), seg(0xC2, b"\x08\x00\x10\x00\x20\x05")], dict(bit_depth=8,
         height=16, width=32, components=5, progressive=True, color_space_guess="unknown")),
        ([seg(0xC5, FRAME)], {}),
        # Quality: the stored table is compared in zig-zag order; ties go to the lower quality.
        ([dqt(ijg_table(75))], dict(quality_estimate=75)),
        ([dqt(b"\x01" * 64)], dict(quality_estimate=100)),
        ([dqt(b"\xff" * 64)], dict(quality_estimate=1)),
        ([dqt(ijg_table(10)), dqt(ijg_table(90))], dict(quality_estimate=10)),
        ([dqt(ijg_table(75)[:63])], {}),
        ([dqt(ijg_table(75) + b"\x00" + ijg_table(75), first=1)], {}),
        ([seg(0xE1, XMP + "x\u00e9".encode())], dict(xmp_packet_chars=3)),
        ([seg(0xE1, XMP + b"ab"), seg(0xE1, XMP + b"\xff")], dict(xmp_packet_chars=2)),
    ],
)
def test_top_level_facts(parts, expected):
    section = jpeg(*parts)
    del section["segments"]
    assert section == expected


def test_every_ijg_quality_is_recovered():
    data = b"".join(dqt(ijg_table(q)) for q in range(1, 101))
    for q in range(1, 101):
        assert jpeg(dqt(ijg_table(q)))["quality_estimate"] == q, q
    assert jpeg(data)["quality_estimate"] == 1


@pytest.mark.parametrize(
    "marker, payload, extra",
    [
        (0xE0, b"JFIF\x00\x01\x02\x01\x00\x48\x00\x48", dict(jfif_version="1.02",
                                                           density="72x72 dpi")),
        (0xE0, b"JFIF\x00\x02\x00\x00\x01\x00\x00\x02", dict(jfif_version="2.00",
                                                           density="256x2 aspect-ratio")),
        (0xE0, b"JFIF\x00\x01\x01\x07\x00\x01\x00\x01", dict(jfif_version="1.01",
                                                           density="1x1 ?")),
        (0xE0, b"JFIF\x00\x01\x01\x01\x00\x48\x00", {}),
        (0xE1, b"Exif\x00\x00", dict(payload="EXIF")),
        (0xE1, b"Exif\x00", {}),
        (0xE1, XMP, dict(payload="XMP")),
        (0xE1, XMP + b"\xc3", dict(payload="XMP")),
        (0xE2, b"ICC_PROFILE\x00\x01\x01", dict(payload="ICC profile")),
        (0xED, b"Photoshop 3.0\x00", dict(payload="Photoshop IRB (IPTC likely)")),
        (0xED, b"Photoshop 3.0 ", {}),
        (0xFE, b"Hello\x00\x00\x00", dict(comment="Hello")),
        (0xFE, b"", dict(comment="")),
        (0xFE, "\u00e9t\u00e9\x00 x".encode(), dict(comment="\u00e9t\u00e9\x00 x")),
        (0xFE, b"caf\xe9", {}),
    ],
)
def test_segment_facts(marker, payload, extra):
    section = jpeg(seg(marker, payload))
    [segment] = section["segments"]
    del segment["marker"], segment["name"], segment["offset"], segment["length"]
    assert segment == extra


@pytest.mark.parametrize("path", samples(".jpg"), ids=lambda p: p.name)
def test_samples(path):
    check_sample(path, "jpeg")
