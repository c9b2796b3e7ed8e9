"""The "bmp" section: file and DIB header sizes and the information header's fields."""

import struct

import pytest

from image_support import check_sample, read_both_ways, samples


def bmp(dib_size=40, width=640, height=-480, bits=24, compression=0, length=54) -> bytes:
    data = b"BM" + struct.pack("<IHHI", 123456, 0, 0, 54)
    data += struct.pack("<IiiHHI", dib_size, width, height, 1, bits, compression)
    return (data + bytes(max(0, length - len(data))))[:length]


SIZES = dict(file_size_header=123456)


@pytest.mark.parametrize(
    "data, expected",
    [
        (bmp(length=30), dict(SIZES, dib_header_size=40)),
        (bmp(), dict(SIZES, dib_header_size=40, width=640, height=480, top_down=True,
                     bit_depth=24, compression="none (BI_RGB)")),
        (bmp(dib_size=124, width=-7, height=3, bits=32, compression=3, length=200),
         dict(SIZES, dib_header_size=124, width=7, height=3, top_down=False, bit_depth=32,
              compression="bitfields")),
        (bmp(width=-(2**31), height=-(2**31)), dict(SIZES, dib_header_size=40,
         width=2**31, height=2**31, top_down=True, bit_depth=24, compression="none (BI_RGB)")),
        # A core header, a header below 40 bytes, or a file too short for 40 bytes of header.
        (bmp(dib_size=12), dict(SIZES, dib_header_size=12)),
        (bmp(dib_size=39), dict(SIZES, dib_header_size=39)),
        (bmp(compression=6), dict(SIZES, dib_header_size=40, width=640, height=480,
                                       top_down=True, bit_depth=24, compression="other")),
        (bmp(dib_size=124, length=53), dict(SIZES, dib_header_size=124)),
    ],
)
def test_headers(data, expected):
    assert read_both_ways(data)["bmp"] == expected


@pytest.mark.parametrize("size", [2, 29])
def test_header_too_short(size):
    result = read_both_ways(bmp(length=size))
    assert "bmp" not in result and "file" in result
    assert result["errors"] == [{"extractor": "bmp", "message": "malformed bmp: header too short"}]


@pytest.mark.parametrize("head", [b"BA", b"bm", b"B"])
def test_not_a_bmp(head):
    assert "bmp" not in read_both_ways(head + bmp()[2:])


@pytest.mark.parametrize("path", samples(".bmp"), ids=lambda p: p.name)
def test_samples(path):
    check_sample(path, "bmp")
