"""The "exif" section: exiv2's fields per image file directory and the GPS position."""

import json
import struct
import subprocess
import sys
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _vorandix import parse_bytes
from conftest import DATA, parse_sample

SAMPLES = DATA / "exif"
EXPECTED = json.loads((SAMPLES / "expected.json").read_text())

# --- TIFF blocks, little-endian. An entry is (tag, type, count, payload); a bytes payload of
# more than four bytes goes after its directory, a str payload names a directory to point to.


def asc(tag, text):
    data = text.encode("latin-1") + b"\0"
    return (tag, 2, len(data), data)


def short(tag, value):
    return (tag, 3, 1, struct.pack("<H", value))


def rationals(tag, pairs, kind=5):
    return (
        tag,
        kind,
        len(pairs),
        b"".join(struct.pack("<II" if kind == 5 else "<ii", *p) for p in pairs),
    )


def pointer(tag, name):
    return (tag, 4, 1, name)


def _outside(payload):
    return isinstance(payload, bytes) and len(payload) > 4


def tiff(chain, subs=None):
    """IFD0, IFD1, ... linked by their next pointers, then the named sub-directories."""
    blocks = [(f"#{i}", e) for i, e in enumerate(chain)] + list((subs or {}).items())
    offsets, at = {}, 8
    for name, entries in blocks:
        offsets[name] = at
        at += 6 + 12 * len(entries) + sum(len(p) + len(p) % 2 for *_, p in entries if _outside(p))
    out = b"II*\0" + struct.pack("<I", 8)
    for name, entries in blocks:
        extra_at = offsets[name] + 6 + 12 * len(entries)
        head, extra = struct.pack("<H", len(entries)), b""
        for tag, kind, count, payload in entries:
            if isinstance(payload, str):
                payload = struct.pack("<I", offsets[payload])
            if _outside(payload):
                head += struct.pack("<HHII", tag, kind, count, extra_at + len(extra))
                extra += payload + b"\0" * (len(payload) % 2)
            else:
                head += struct.pack("<HHI", tag, kind, count) + payload.ljust(4, b"\0")
        following = offsets.get(f"#{int(name[1:]) + 1}", 0) if name.startswith("#") else 0
        out += head + struct.pack("<I", following) + extra
    return out


# --- Containers around a TIFF block (None: the container without one).


def jpeg(block):
    app1 = (
        b""
        if block is None
        else b"\xff\xe1" + struct.pack(">H", len(block) + 8) + b"Exif\0\0" + block
    )
    return (
        b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" + app1 + b"\xff\xd9"
    )


def _png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(block):
    exif = b"" if block is None else _png_chunk(b"eXIf", block)
    return (
        b"\x89PNG\r\n\x1a\n"
        + _png_chunk(b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0))
        + exif
        + _png_chunk(b"IDAT", zlib.compress(b"\0\0"))
        + _png_chunk(b"IEND", b"")
    )


def _riff_chunk(kind, data):
    return kind + struct.pack("<I", len(data)) + data + b"\0" * (len(data) % 2)


def webp(block):
    chunks = _riff_chunk(b"VP8X", b"\x08" + b"\0" * 9) + _riff_chunk(
        b"VP8L", bytes.fromhex("2f0000000000")
    )
    if block is not None:
        chunks += _riff_chunk(b"EXIF", block)
    return b"RIFF" + struct.pack("<I", len(chunks) + 4) + b"WEBP" + chunks


def _box(kind, data, version=None):
    if version is not None:
        data = bytes([version, 0, 0, 0]) + data
    return struct.pack(">I", 8 + len(data)) + kind + data


def heif(block):
    """An HEIF with one "Exif" item stored in mdat (a 4-byte header offset, then the block)."""
    ftyp = _box(b"ftyp", b"heic\0\0\0\0mif1heic")
    if block is None:
        return ftyp + _box(b"free", b"\0" * 64)
    payload = b"\0\0\0\0" + block

    def meta(offset):
        hdlr = _box(b"hdlr", b"\0\0\0\0pict" + b"\0" * 13, 0)
        iinf = _box(
            b"iinf",
            struct.pack(">H", 1) + _box(b"infe", struct.pack(">HH", 1, 0) + b"Exif\0", 2),
            0,
        )
        iloc = _box(
            b"iloc", b"\x44\x00" + struct.pack(">HHHHII", 1, 1, 0, 1, offset, len(payload)), 0
        )
        return _box(b"meta", hdlr + iinf + iloc, 0)

    head = ftyp + meta(0)
    return ftyp + meta(len(head) + 8) + _box(b"mdat", payload)


CONTAINERS = {"jpeg": jpeg, "png": png, "webp": webp, "heif": heif}


def exif_of(data):
    result = parse_bytes(data)
    return result.get("exif"), [e for e in result.get("errors", []) if e["extractor"] == "exif"]


# --- Samples written by ImageMagick and exiftool.


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_samples(name):
    path = SAMPLES / name
    result = parse_sample(path)
    assert result.get("exif") == EXPECTED[name]
    assert "errors" not in result or all(e["extractor"] != "exif" for e in result["errors"])


# --- Directories and keys.


@pytest.mark.parametrize(
    "wrap", [*CONTAINERS.values(), lambda block: block], ids=[*CONTAINERS, "tiff"]
)
def test_every_container_gives_the_same_fields(wrap):
    block = tiff([[asc(271, "Acme"), short(274, 6)]])
    assert exif_of(wrap(block)) == ({"primary": {"Make": "Acme", "Orientation": "right, top"}}, [])


def test_fields_go_to_the_object_of_their_directory():
    maker_note = struct.pack("<HHHII", 1, 0x10, 4, 1, 0x80000001) + b"\0" * 4
    block = tiff(
        [
            [
                asc(271, "Canon"),
                pointer(0x8769, "exif"),
                pointer(0x8825, "gps"),
                pointer(0x014A, "sub"),
            ],
            [short(259, 6)],
            [asc(271, "two")],
            [asc(271, "three")],
            [asc(271, "four")],  # past IFD3, where exiv2 stops following the chain
        ],
        {
            "exif": [
                asc(36867, "2024:01:02 03:04:05"),
                (0x927C, 7, len(maker_note), maker_note),
                pointer(0xA005, "iop"),
                (59932, 7, 2, b"ab"),
            ],
            "iop": [asc(1, "R98"), short(0x4321, 1)],
            "gps": [asc(1, "N"), short(0x77, 2)],
            "sub": [asc(271, "sub image")],  # would replace IFD0's Make if it were merged in
        },
    )
    section, errors = exif_of(jpeg(block))
    assert errors == []
    assert section["thumbnail"] == {"Compression": "JPEG (old-style)"}
    assert section["ifd2"] == {"Make": "two"} and section["ifd3"] == {"Make": "three"}
    assert "ifd4" not in section
    primary = section["primary"]
    assert primary["Make"] == "Canon"
    assert primary["DateTimeOriginal"] == "2024:01:02 03:04:05"
    assert primary["InteroperabilityIndex"] == "R98" and primary["GPSLatitudeRef"] == "North"
    assert {k: primary[k] for k in primary if k.startswith("Tag(")} == {
        "Tag(Exif, 59932)": "97 98",
        "Tag(Interop, 17185)": "1",
        "Tag(Gps, 119)": "2",
    }
    # The decoded maker note (ModelID, its Offset and ByteOrder) is no directory of the file.
    assert not {"ModelID", "Offset", "ByteOrder", "ImageWidth"} & primary.keys()


def test_unknown_tiff_tag_and_non_utf8_text():
    section, _ = exif_of(tiff([[asc(271, "Caf\xe9"), short(0xC7FF, 3)]]))
    assert section == {"primary": {"Make": "Caf\ufffd", "Tag(Tiff, 51199)": "3"}}


# --- GPS position.

N, E = asc(1, "N"), asc(3, "E")
LAT = rationals(2, [(35, 1), (39, 1), (2940, 100)])
LON = rationals(4, [(139, 1), (41, 1), (3000, 100)])
LAT_VALUE = 2940 / 100 / 3600 + (39 / 1 / 60 + 35 / 1)
LON_VALUE = 3000 / 100 / 3600 + (41 / 1 / 60 + 139 / 1)


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([N, LAT, E, LON], (LAT_VALUE, LON_VALUE)),
        # Summed the other way round, 1 deg 1' 3" would come out as 1.0175.
        ([N, rationals(2, [(1, 1), (1, 1), (3, 1)]), E, LON], (1.0174999999999998, LON_VALUE)),
        ([asc(1, "S"), LAT, asc(3, "W"), LON], (-LAT_VALUE, -LON_VALUE)),
        (
            [asc(1, "W"), LAT, asc(3, "S"), LON],
            (-LAT_VALUE, -LON_VALUE),
        ),  # the letter, not the axis
        ([asc(1, "s"), LAT, LON], (LAT_VALUE, LON_VALUE)),  # lower case, missing reference
        ([asc(1, "South"), LAT, (3, 7, 2, b"W\0"), LON], (LAT_VALUE, LON_VALUE)),  # word, not text
        ([(1, 2, 4, b"S\0N\0"), LAT, E, LON], (-LAT_VALUE, LON_VALUE)),  # first string counts
        (
            [N, rationals(2, [(35, 1), (39, 1), (2940, 100), (5, 0)]), E, LON],
            (LAT_VALUE, LON_VALUE),
        ),
        ([N, rationals(2, [(35, 1), (39, 0), (0, 1)]), E, LON], (None, LON_VALUE)),
        ([N, rationals(2, [(35, 1), (39, 1)]), E, LON], None),
        ([N, rationals(2, [(35, 1), (39, 1), (29, 1)], kind=10), E, LON], None),
        ([N, LAT, E], None),
    ],
)
def test_gps_decimal(entries, expected):
    section, _ = exif_of(jpeg(tiff([[pointer(0x8825, "gps")]], {"gps": entries})))
    assert "GPSLatitude" in section["primary"]
    got = section.get("gps_decimal")
    assert got == (None if expected is None else dict(zip(("latitude", "longitude"), expected)))


def test_gps_outside_ifd0_is_ignored():
    section, _ = exif_of(tiff([[short(274, 1)], [N, LAT, E, LON]]))
    assert "gps_decimal" not in section


# --- Outcomes: found, not found, failed.

BROKEN_HEADER = b"XX*\0\x08\0\0\0" + b"\0" * 8
NOT_TIFF = "This does not look like a TIFF image"


@pytest.mark.parametrize(
    "data, message",
    [
        *[(wrap(None), None) for wrap in CONTAINERS.values()],
        (jpeg(b"II*\0\x08\0\0\0" + struct.pack("<H", 60000)), None),  # IFD0 skipped as a whole
        (jpeg(BROKEN_HEADER), NOT_TIFF),
        (png(BROKEN_HEADER), NOT_TIFF),
        (heif(b"II*\0\xff\0\0\0" + b"\0" * 8), NOT_TIFF),
        (b"II*\0" + struct.pack("<I", 100000) + b"\0" * 8, NOT_TIFF),
        (webp(BROKEN_HEADER), "Failed to decode Exif metadata."),
        (jpeg(tiff([[asc(271, "A")]]))[:30], "Failed to read image data"),
        (b"ABCD\x10\0\0\0WEBPVP8L" + b"\0" * 40, "Unknown image format"),  # sniffed, no RIFF
        (b"\x89PNG" + b"\0" * 40, "Unknown image format"),
    ],
)
def test_outcomes(data, message):
    section, errors = exif_of(data)
    assert section is None
    assert errors == ([] if message is None else [{"extractor": "exif", "message": message}])


@pytest.mark.parametrize("order", [["module", "scan", "module"], ["scan", "module", "scan"]])
def test_both_extension_modules_keep_exiv2_warnings_whichever_reads_first(order, tmp_path):
    # _vorandix and vorandix._batch each link the engine; exiv2 has one log handler per process.
    broken = tmp_path / "broken.webp"
    broken.write_bytes(webp(BROKEN_HEADER))
    code = (
        "import sys, _vorandix, vorandix\n"
        "path = sys.argv[1]\n"
        "calls = {\n"
        "    'module': lambda: _vorandix.parse(path).get('errors'),\n"
        "    'scan': lambda: next(vorandix.scan([path], jobs=1)).get('errors'),\n"
        "}\n"
        "print([calls[name]() for name in sys.argv[2:]])\n"
    )
    out = subprocess.run([sys.executable, "-c", code, broken, *order], capture_output=True)
    error = [{"extractor": "exif", "message": "Failed to decode Exif metadata."}]
    assert out.stdout.decode() == f"{[error] * 3}\n"


def test_fields_decoded_before_a_later_failure_are_kept():
    # A truncated APP2 segment after the EXIF one makes exiv2 give up on the container.
    data = jpeg(tiff([[asc(271, "A")]]))[:-2] + b"\xff\xe2\x03\xe8ICC_PROFILE\0"
    assert exif_of(data) == ({"primary": {"Make": "A"}}, [])


def test_deeply_nested_heif_boxes_are_refused():
    # exiv2 descends one call per level: this nesting overflowed its stack and killed the process.
    n = 100_000
    boxes = b"".join(struct.pack(">I", 8 * (n - i)) + b"iprp" for i in range(n))
    data = _box(b"ftyp", b"heic\0\0\0\0mif1heic") + boxes
    assert exif_of(data) == (None, [{"extractor": "exif", "message": "corrupted image metadata"}])


@pytest.mark.parametrize(
    "data",
    [
        b"II*\0\x10\0\0\0CR\x02\0" + b"\0" * 20,  # a Canon raw, not TIFF
        b"GIF89a" + jpeg(tiff([[asc(271, "A")]])),
        _box(b"ftyp", b"avif\0\0\0\0mif1avif") + _box(b"free", b"\0" * 64),
    ],
)
def test_other_types_are_not_read(data):
    assert exif_of(data) == (None, [])


@settings(
    max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(st.data())
def test_damaged_inputs_neither_raise_nor_print(capfd, data):
    sample = data.draw(st.sampled_from([jpeg, png, webp, heif, lambda b: b]))(
        tiff([[asc(271, "Acme"), pointer(0x8825, "gps")]], {"gps": [N, LAT, E, LON]})
    )
    damaged = bytearray(sample)
    for _ in range(data.draw(st.integers(1, 8))):
        damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    parse_bytes(bytes(damaged[: data.draw(st.integers(0, len(damaged)))]))
    assert capfd.readouterr() == ("", "")
