"""The "mp4" section: top-level boxes, ftyp brands, and the movie duration from mvhd."""

import json
import struct

import pytest
from conftest import DATA, parse_sample

from _vorandix import parse_bytes


def box(kind: bytes, payload: bytes = b"") -> bytes:
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def box64(kind: bytes, payload: bytes = b"", size=None) -> bytes:
    return struct.pack(">I", 1) + kind + struct.pack(">Q", size or 16 + len(payload)) + payload


def mvhd0(timescale: int, duration: int) -> bytes:
    return box(b"mvhd", bytes(4) + bytes(8) + struct.pack(">II", timescale, duration) + bytes(80))


def mvhd1(timescale: int, duration: int) -> bytes:
    return box(b"mvhd", b"\x01" + bytes(3) + bytes(16) + struct.pack(">IQ", timescale, duration)
               + bytes(80))


FTYP = box(b"ftyp", b"isom" + struct.pack(">I", 512) + b"isomiso2avc1mp41")


def mp4(data: bytes) -> dict:
    return parse_bytes(data)["mp4"]


def listed(data: bytes) -> list:
    return [(b["type"], b["size"]) for b in mp4(data)["top_level_boxes"]]


@pytest.mark.parametrize(
    "data, boxes",
    [
        pytest.param(struct.pack(">I", 4) + b"ftyp" + bytes(8), [], id="first-box-too-small"),
        pytest.param(FTYP + box(b"moov", mvhd0(1000, 1)) + box(b"mdat", bytes(10)),
                     [("ftyp", 32), ("moov", 116), ("mdat", 18)], id="typical"),
        pytest.param(FTYP + struct.pack(">I", 0) + b"mdat" + bytes(100),
                     [("ftyp", 32), ("mdat", 108)], id="size-0-runs-to-end"),
        pytest.param(FTYP + box64(b"mdat", bytes(20)) + box(b"free"),
                     [("ftyp", 32), ("mdat", 36), ("free", 8)], id="64-bit-size"),
        pytest.param(FTYP + box64(b"mdat", size=8) + box(b"free"), [("ftyp", 32)],
                     id="64-bit-size-below-header"),
        pytest.param(FTYP + struct.pack(">I", 1) + b"mdat" + bytes(7), [("ftyp", 32)],
                     id="64-bit-size-cut"),
        pytest.param(FTYP + box(b"free") + struct.pack(">I", 1000) + b"mdat" + bytes(100),
                     [("ftyp", 32), ("free", 8)], id="box-past-end"),
        pytest.param(FTYP + struct.pack(">I", 7) + b"free" + box(b"free"), [("ftyp", 32)],
                     id="size-below-header"),
        pytest.param(FTYP + b"\x00\x00\x00", [("ftyp", 32)], id="trailing-bytes"),
        # Types are decoded like text; 0xA9 alone is not UTF-8.
        pytest.param(FTYP + box(b"\xa9too"), [("ftyp", 32), ("\ufffdtoo", 8)], id="a9-type"),
    ],
)
def test_top_level_walk(data, boxes):
    assert listed(data) == boxes


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b"M4A", {}),
        (b"M4A ", {"major_brand": "M4A "}),
        (b"M4A \x00\x00\x02", {"major_brand": "M4A "}),
        (b"M4A \x00\x00\x02\x00", {"major_brand": "M4A ", "minor_version": 512}),
        (b"M4A \x00\x00\x02\x00isomXY",
         {"major_brand": "M4A ", "minor_version": 512, "compatible_brands": ["isom"]}),
        (b"qt  " + bytes(4) + b"qt  \x00\x00\x00\x00\xa9abc",
         {"major_brand": "qt  ", "minor_version": 0,
          "compatible_brands": ["qt  ", "\x00\x00\x00\x00", "\ufffdabc"]}),
    ],
)
def test_ftyp_payload_lengths(payload, expected):
    fields = mp4(box(b"ftyp", payload))
    assert fields.pop("top_level_boxes") == [{"type": "ftyp", "size": 8 + len(payload)}]
    assert fields == expected


def mvhd_payload(version: int, length: int, timescale: int, duration: int) -> bytes:
    """An mvhd payload of `length` bytes with the fields where `version` puts them."""
    if version == 1:
        body = b"\x01" + bytes(19) + struct.pack(">IQ", timescale, duration)
    else:
        body = bytes([version]) + bytes(11) + struct.pack(">II", timescale, duration)
    return (body + bytes(length))[:length]


@pytest.mark.parametrize(
    "payload, expected",
    [
        (mvhd_payload(0, 100, 1000, 12345),
         {"timescale": 1000, "duration_units": 12345, "duration_seconds": 12.345}),
        (mvhd_payload(1, 112, 600, 600),
         {"timescale": 600, "duration_units": 600, "duration_seconds": 1.0}),
        (mvhd_payload(1, 32, 90000, 2**40),
         {"timescale": 90000, "duration_units": 2**40, "duration_seconds": 12216795.864}),
        (mvhd_payload(0, 20, 0, 77), {"timescale": 0, "duration_units": 77}),
        # Halves round away from zero: 1.0005 s.
        (mvhd_payload(0, 20, 2000, 2001), {"timescale": 2000, "duration_units": 2001,
                                           "duration_seconds": 1.001}),
        # Version 1 too short for its layout: read as version 0.
        (b"\x01" + bytes(11) + struct.pack(">II", 1000, 2500) + bytes(11),
         {"timescale": 1000, "duration_units": 2500, "duration_seconds": 2.5}),
        (mvhd_payload(0, 19, 1000, 5), {}),
    ],
)
def test_mvhd_layouts(payload, expected):
    fields = mp4(FTYP + box(b"moov", box(b"mvhd", payload)))
    del fields["top_level_boxes"]
    for key in ("major_brand", "minor_version", "compatible_brands"):
        del fields[key]
    assert fields == expected
    if "duration_seconds" in expected:
        assert isinstance(fields["duration_seconds"], float)


def timing(data: bytes) -> tuple:
    fields = mp4(data)
    return fields.get("timescale"), fields.get("duration_units")


def nested_moov(levels: int, inner: bytes) -> bytes:
    headers = [struct.pack(">I", 8 * (levels - i) + len(inner)) + b"moov" for i in range(levels)]
    return b"".join(headers) + inner


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(FTYP + box(b"trak", mvhd0(1000, 1)), (None, None), id="only-moov-descended"),
        pytest.param(FTYP + mvhd0(10, 1), (10, 1), id="top-level-mvhd"),
        pytest.param(FTYP + box(b"moov", mvhd0(10, 1) + mvhd0(20, 2)), (20, 2),
                     id="later-mvhd-wins"),
        pytest.param(FTYP + box(b"moov", box(b"moov", mvhd0(30, 3))), (30, 3), id="moov-in-moov"),
        pytest.param(FTYP + nested_moov(64, mvhd0(40, 4)), (40, 4), id="moov-64-deep"),
        pytest.param(FTYP + nested_moov(65, mvhd0(40, 4)), (None, None), id="moov-65-deep"),
        pytest.param(FTYP + nested_moov(100_000, mvhd0(40, 4)), (None, None), id="moov-100k-deep"),
        # A broken box inside moov ends that moov's walk only.
        pytest.param(
            FTYP + box(b"moov", box(b"free") + struct.pack(">I", 3) + b"junk" + mvhd0(50, 5))
            + mvhd0(60, 6),
            (60, 6), id="inner-walk-stops-outer-goes-on"),
    ],
)
def test_moov_descent(data, expected):
    assert timing(data) == expected


def test_boxes_inside_moov_are_not_listed_but_ftyp_there_is_read():
    data = FTYP + box(b"moov", box(b"ftyp", b"heic" + bytes(4)) + mvhd0(1, 1)) + box(b"mdat")
    fields = mp4(data)
    assert [b["type"] for b in fields["top_level_boxes"]] == ["ftyp", "moov", "mdat"]
    assert fields["major_brand"] == "heic"
    assert fields["minor_version"] == 0
    assert fields["compatible_brands"] == ["isom", "iso2", "avc1", "mp41"]


SAMPLES = json.loads((DATA / "media" / "expected.json").read_text())


@pytest.mark.parametrize("name", [n for n, s in SAMPLES.items() if "mp4" in s])
def test_samples(name):
    path = DATA / "media" / name
    assert parse_sample(path)["mp4"] == SAMPLES[name]["mp4"]
