"""The "gif" section: the logical screen and the block walk's frames and loop count."""

import struct

import pytest

from image_support import check_sample, read_both_ways, samples


def screen(packed: int = 0, version: bytes = b"89a") -> bytes:
    return b"GIF" + version + struct.pack("<HHBBB", 320, 200, packed, 0, 0)


def image(packed: int = 0, data: bytes = b"\x02\x02\x44\x01\x00") -> bytes:
    """An image descriptor, its local colour table if any, the code size byte and sub-blocks."""
    table = bytes(3 << ((packed & 7) + 1)) if packed & 0x80 else b""
    return b"\x2c" + struct.pack("<HHHHB", 0, 0, 1, 1, packed) + table + data


def netscape(loops: int) -> bytes:
    return b"\x21\xff\x0bNETSCAPE2.0\x03\x01" + struct.pack("<H", loops) + b"\x00"


def gif(*parts: bytes) -> dict:
    return read_both_ways(b"".join(parts))


def walk(result: dict) -> tuple:
    g = result["gif"]
    return g["frames"], g["animated"], g.get("loop_count")


def test_screen_descriptor():
    assert gif(screen(0x00))["gif"] == dict(
        version="89a", width=320, height=200, color_resolution_bits=1,
        global_color_table=False, frames=0, animated=False)
    g = gif(screen(0xF7, b"87a"))["gif"]
    assert (g["version"], g["color_resolution_bits"], g["global_color_table"],
            g["global_color_table_size"]) == ("87a", 8, True, 256)


@pytest.mark.parametrize(
    "parts, frames, animated, loops",
    [
        ([image(), image()], 2, True, None),
        ([netscape(0), image()], 1, False, 0),
        ([netscape(3), image(), netscape(65535), image(), image()], 3, True, 65535),
        # Stray bytes are stepped over; the trailer ends the walk.
        ([b"\x00\x99", image(), b"\x3b", image(), image()], 1, False, None),
        # Sub-blocks are skipped by length, whatever bytes they hold.
        ([image(data=b"\x02\x03\x2c\x2c\x2c\x01\x3b\x00"), image()], 2, True, None),
        ([b"\x21\xfe\x03\x2c\x3b\x2c\x00", image(0x81)], 1, False, None),
        # A descriptor cut by the end of the data still counts.
        ([image(), image()[:9]], 2, True, None),
        ([image(0x87)[:600]], 1, False, None),
        # An extension cut at its label, or a NETSCAPE block too short for the count.
        ([image(), b"\x21\xff"], 1, False, None),
        ([netscape(5)[:17]], 0, False, None),
        ([b"\x21\xff\x0bNETSCAPE2.1\x03\x01\x05\x00\x00"], 0, False, None),
    ],
)
def test_block_walk(parts, frames, animated, loops):
    assert walk(gif(screen(), *parts)) == (frames, animated, loops)


def test_walk_starts_after_the_global_color_table():
    # Bytes inside the 768-byte table that look like descriptors are not blocks.
    table = b"\x2c" * 768
    assert walk(gif(screen(0xF7), table, image())) == (1, False, None)
    assert walk(gif(screen(0x87), table[:100])) == (0, False, None)


@pytest.mark.parametrize("size", [6, 12])
def test_header_too_short(size):
    result = gif(screen()[:size])
    assert "gif" not in result and "file" in result
    assert result["errors"] == [{"extractor": "gif", "message": "malformed gif: header too short"}]


@pytest.mark.parametrize("head", [b"GIF88a", b"GIF8", b"gif89a"])
def test_not_a_gif(head):
    assert "gif" not in gif(head + screen()[6:], image())


@pytest.mark.parametrize("path", samples(".gif"), ids=lambda p: p.name)
def test_samples(path):
    check_sample(path, "gif")
