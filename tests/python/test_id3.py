"""The "id3" section: the ID3v2 tag header and eight text frames, v2.2 to v2.4 layouts."""

import json
import struct

import pytest
from conftest import DATA, parse_sample

from _vorandix import parse_bytes


def syncsafe(n: int) -> bytes:
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def frame(major: int, fid: bytes, data: bytes, format_flags: int = 0) -> bytes:
    if major == 2:
        return fid + struct.pack(">I", len(data))[1:] + data
    size = struct.pack(">I", len(data)) if major == 3 else syncsafe(len(data))
    return fid + size + bytes([0, format_flags]) + data


def tag(major: int, frames: bytes, size=None, flags=0, revision=0) -> bytes:
    size = len(frames) if size is None else size
    return b"ID3" + bytes([major, revision, flags]) + syncsafe(size) + frames


def text_frames(major: int, *frames: tuple) -> dict:
    """The "frames" object of a tag made of (id, data) pairs; {} when it has none."""
    body = b"".join(frame(major, fid, data) for fid, data in frames)
    return parse_bytes(tag(major, body) + b"\xff\xfb audio")["id3"].get("frames", {})


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(b"\x00WORD\x00", "WORD", id="latin1-terminated"),
        pytest.param(b"\x00caf\xe9", "caf\u00e9", id="latin1-high-byte"),
        pytest.param(b"\x01\xff\xfeA\x00B\x00", "AB", id="utf16-le-bom"),
        pytest.param(b"\x01\xfe\xff\x00A\x00B", "AB", id="utf16-be-bom"),
        pytest.param(b"\x02\x00A\x00B\x00\x00", "AB", id="utf16be-v24-no-bom"),
        pytest.param(b"\x02\xff\xfeA\x00", "A", id="utf16be-v24-le-bom-wins"),
        pytest.param(b"\x01A\x00B\x00", "AB", id="utf16-no-bom-read-le"),
        pytest.param(b"\x01\xff\xfe\xff\xfeA\x00", "A", id="utf16-every-leading-bom"),
        pytest.param(b"\x01\xff\xfeA\x00\xff\xfeB\x00", "A\ufeffB", id="utf16-inner-bom-kept"),
        pytest.param(b"\x01\xff\xfeA\x00B", "A", id="utf16-odd-byte-dropped"),
        pytest.param(b"\x01\xff\xfe\x3d\xd8\x00\xde\x00\x00", "\U0001f600", id="utf16-pair"),
        pytest.param(b"\x01\x3d\xd8A\x00\x00\xdc", "\ufffdA\ufffd", id="utf16-lone-surrogates"),
        pytest.param(b"\x01\xff\xfeA\x00\x00\x00B\x00\x00\x00\x00\x00", "A\x00B",
                     id="utf16-inner-nul-kept-trailing-dropped"),
        pytest.param(b"\x03\xef\xbb\xbfGr\xc3\xbc\xc3\x9fe\x00", "\ufeffGr\u00fc\u00dfe",
                     id="utf8-bom-kept"),
        pytest.param(b"\x03ab\xc3(\x00\x00", "ab\ufffd(", id="utf8-invalid-replaced"),
        pytest.param(b"\x00\x00\x00", "", id="only-terminators"),
    ],
)
def test_text_decoding(data, expected):
    assert text_frames(3, (b"TIT2", data)) == {"title": expected}


@pytest.mark.parametrize("encoding", [4, 9, 255])
def test_unknown_encoding_stores_nothing(encoding):
    assert text_frames(3, (b"TIT2", bytes([encoding]) + b"x"), (b"TALB", b"\x00a")) == {
        "album": "a"
    }


ALL_V3 = [
    (b"TIT2", "title"), (b"TPE1", "artist"), (b"TALB", "album"), (b"TYER", "year"),
    (b"TCON", "genre"), (b"TRCK", "track"), (b"TPE2", "album_artist"), (b"TCOM", "composer"),
]
ALL_V2 = [
    (b"TT2", "title"), (b"TP1", "artist"), (b"TAL", "album"), (b"TYE", "year"),
    (b"TCO", "genre"), (b"TRK", "track"),
]


@pytest.mark.parametrize(
    "major, frames, expected",
    [
        (3, [(fid, b"\x00" + fid) for fid, _ in ALL_V3],
         {key: fid.decode() for fid, key in ALL_V3}),
        (4, [(fid, b"\x03" + fid) for fid, _ in ALL_V3],
         {key: fid.decode() for fid, key in ALL_V3}),
        (2, [(fid, b"\x00" + fid) for fid, _ in ALL_V2],
         {key: fid.decode() for fid, key in ALL_V2}),
        # v2.2 has no album artist or composer frame; four-letter IDs mean nothing there.
        (2, [(b"TP2", b"\x00x"), (b"TCM", b"\x00x"), (b"TT2", b"\x00t")], {"title": "t"}),
        (3, [(b"TXXX", b"\x00desc\x00value"), (b"COMM", b"\x00eng\x00c"), (b"TIT1", b"\x00g")], {}),
        (3, [(b"TYER", b"\x001999"), (b"TDRC", b"\x002004")], {"year": "2004"}),
        (4, [(b"TDRC", b"\x002004"), (b"TYER", b"\x001999")], {"year": "1999"}),
        (3, [(b"TIT2", b"\x00one"), (b"TIT2", b"\x00two")], {"title": "two"}),
        (3, [(b"TCON", b"\x00(13)Pop"), (b"TRCK", b"\x003/12")], {"genre": "(13)Pop",
                                                                 "track": "3/12"}),
    ],
)
def test_frame_ids_by_version(major, frames, expected):
    assert text_frames(major, *frames) == expected


def test_frame_sizes_follow_the_version():
    # 200 data bytes: syncsafe 00 00 01 48 in v2.4, plain 00 00 00 C8 in v2.3. Read the wrong
    # way, the walk would land inside the first frame and miss the album.
    long_title = b"\x00" + b"t" * 199
    for major in (3, 4):
        assert text_frames(major, (b"TIT2", long_title), (b"TALB", b"\x00a")) == {
            "title": "t" * 199, "album": "a"}
    # A major version past 4 is read with the v2.4 layout.
    body = frame(4, b"TIT2", long_title) + frame(4, b"TALB", b"\x00a")
    section = parse_bytes(tag(5, body, revision=1))["id3"]
    assert section["version"] == "2.5.1"
    assert section["frames"] == {"title": "t" * 199, "album": "a"}


@pytest.mark.parametrize(
    "frames, expected",
    [
        pytest.param(frame(3, b"TIT2", b"\x00a") + frame(3, b"TALB", b"") + frame(3, b"TPE1", b"\x00b"),
                     {"title": "a", "artist": "b"}, id="size-0-frame-skipped"),
        pytest.param(frame(3, b"TIT2", b"\x00a") + bytes(30) + frame(3, b"TPE1", b"\x00b"),
                     {"title": "a"}, id="padding-ends-walk"),
        # The padding test looks at the ID only: a frame of ID 00 00 00 01 is a frame.
        pytest.param(b"\x00\x00\x00\x01" + struct.pack(">I", 1) + b"\x00\x00x"
                     + frame(3, b"TPE1", b"\x00b"), {"artist": "b"}, id="nonzero-id-is-no-padding"),
        pytest.param(frame(3, b"XYZW", b"anything") + frame(3, b"TPE1", b"\x00b"),
                     {"artist": "b"}, id="unknown-frame-skipped-by-size"),
        pytest.param(frame(3, b"TIT2", b"\x00a") + b"TPE1\x00\x00", {"title": "a"},
                     id="header-cut-by-area"),
    ],
)
def test_walk_stops(frames, expected):
    section = parse_bytes(tag(3, frames))["id3"]
    assert section.get("frames", {}) == expected


def test_frames_are_cut_to_the_tag_and_to_the_input():
    body = frame(3, b"TIT2", b"\x00abcdef") + frame(3, b"TPE1", b"\x00artist")
    # The tag ends 3 bytes into the title's text: the title is what lies inside the tag.
    assert parse_bytes(tag(3, body, size=14) + b"\xff" * 40)["id3"]["frames"] == {"title": "abc"}
    # The tag claims more than the input holds: the last frame is read as far as it goes.
    assert parse_bytes(tag(3, body[:-3], size=1000))["id3"]["frames"] == {
        "title": "abcdef", "artist": "art"}


def unsynchronise(data: bytes) -> bytes:
    return data.replace(b"\xff", b"\xff\x00")  # more 0x00 than needed: all must go


TITLE, ARTIST = b"\x01" + "My babe".encode("utf-16"), b"\x00\xffes"  # both hold 0xFF
BOTH = {"title": "My babe", "artist": "\u00ffes"}
V2 = frame(2, b"TT2", TITLE) + frame(2, b"TP1", ARTIST)
V3, V4 = (frame(major, b"TIT2", TITLE) + frame(major, b"TPE1", ARTIST) for major in (3, 4))


@pytest.mark.parametrize(
    "major, flags, body, expected",
    [
        pytest.param(2, 0x80, unsynchronise(V2), BOTH, id="v22-unsync"),
        pytest.param(4, 0x80, frame(4, b"TIT2", unsynchronise(TITLE))
                     + frame(4, b"TPE1", unsynchronise(ARTIST)), BOTH, id="v24-unsync-every-frame"),
        # Only flagged frames (0x02); 0x01 puts the data length first.
        pytest.param(4, 0, frame(4, b"TIT2", syncsafe(len(TITLE)) + unsynchronise(TITLE), 0x03)
                     + frame(4, b"TPE1", b"\x00\xff\x00x") + frame(4, b"TALB", b"\x00\xff\x00a", 0x02),
                     {"title": "My babe", "artist": "\u00ff\x00x", "album": "\u00ffa"},
                     id="v24-unsync-flagged-frames"),
        # v2.3: the size leaves out its own 4 bytes, and unsynchronisation covers the header.
        pytest.param(3, 0xC0, unsynchronise(struct.pack(">IHII", 10, 0x8000, 0, 0xFF) + V3), BOTH,
                     id="v23-extended-unsync"),
        pytest.param(3, 0xC0, unsynchronise(V3), BOTH, id="v23-extended-flag-without-header"),
        pytest.param(3, 0x40, struct.pack(">I", len(V3) + 1) + V3, {}, id="v23-extended-too-long"),
        pytest.param(4, 0x40, syncsafe(3) + V4, {}, id="v24-extended-too-short"),
        # In v2.2 the bit means compression: there is no extended header to skip.
        pytest.param(2, 0x40, V2, BOTH, id="v22-compression-bit"),
    ],
)
def test_tag_features(major, flags, body, expected):
    data = tag(major, body, flags=flags) + b"\xff\xfb audio"
    assert parse_bytes(data)["id3"].get("frames", {}) == expected


@pytest.mark.parametrize(
    "header, expected",
    [
        (b"ID3\x03\x00\x00\x00\x00\x00\x00",
         {"version": "2.3.0", "unsynchronisation": False, "extended_header": False,
          "tag_size": 0}),
        (b"ID3\x03\x00\xc0\x00\x00\x02\x01",
         {"version": "2.3.0", "unsynchronisation": True, "extended_header": True,
          "tag_size": 257}),
        (b"ID3\x04\x00\x3f\x00\x00\x00\xff",
         {"version": "2.4.0", "unsynchronisation": False, "extended_header": False,
          "tag_size": 255}),
        (b"ID3\xff\xff\x80\x00\x00\x01\x80",
         {"version": "2.255.255", "unsynchronisation": True, "extended_header": False,
          "tag_size": 128}),
        (b"ID3\x02\x00\x00\xff\xff\xff\xff",
         {"version": "2.2.0", "unsynchronisation": False, "extended_header": False,
          "tag_size": (255 << 21) | (255 << 14) | (255 << 7) | 255}),
    ],
)
def test_tag_header(header, expected):
    assert parse_bytes(header)["id3"] == expected


def test_tag_size_0_reads_no_frames():
    section = parse_bytes(tag(3, frame(3, b"TIT2", b"\x00a"), size=0))["id3"]
    assert "frames" not in section


@pytest.mark.parametrize("data", [b"ID3", b"ID3\x03\x00\x00\x00\x00\x00"])
def test_short_header_is_an_error(data):
    result = parse_bytes(data)
    assert "id3" not in result
    assert result["errors"] == [{"extractor": "id3", "message": "malformed id3: header too short"}]


SAMPLES = json.loads((DATA / "media" / "expected.json").read_text())


@pytest.mark.parametrize("name", [n for n, s in SAMPLES.items() if "id3" in s])
def test_samples(name):
    path = DATA / "media" / name
    assert parse_sample(path)["id3"] == SAMPLES[name]["id3"]
