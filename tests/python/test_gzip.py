"""The "gzip" section: method, time stamp, operating system and stored file name."""

import struct

import pytest

from _vorandix import parse, parse_bytes

from conftest import DATA, parse_sample

FTEXT, FHCRC, FEXTRA, FNAME, FCOMMENT = 0x01, 0x02, 0x04, 0x08, 0x10


def header(method=8, flags=0, mtime=0, os_byte=3):
    return b"\x1f\x8b" + struct.pack("<BBIBB", method, flags, mtime, 0, os_byte)


def gzip_section(data):
    return parse_bytes(data)["gzip"]


@pytest.mark.parametrize(
    "data, expected",
    [
        (header(), {"compression_method": "deflate", "os": "Unix"}),
        (header(method=0, os_byte=255), {"compression_method": "unknown", "os": "unknown"}),
        (header(method=9, os_byte=1), {"compression_method": "unknown", "os": "other"}),
        (header(os_byte=0), {"compression_method": "deflate", "os": "FAT (Windows/DOS)"}),
        (header(os_byte=7), {"compression_method": "deflate", "os": "macOS"}),
        (header(os_byte=11), {"compression_method": "deflate", "os": "NTFS"}),
        (header(mtime=0xFFFFFFFF),
         {"compression_method": "deflate", "os": "Unix", "modification_time_unix": 4294967295}),
        (header(mtime=1, flags=FTEXT | FCOMMENT) + b"comment\x00",
         {"compression_method": "deflate", "os": "Unix", "modification_time_unix": 1}),
    ],
)
def test_fixed_header(data, expected):
    assert gzip_section(data) == expected


@pytest.mark.parametrize("length", [2, 5, 9])
def test_short_header_is_an_error(length):
    result = parse_bytes(header()[:length])
    assert "gzip" not in result
    assert result["errors"] == [
        {"extractor": "gzip", "message": "malformed gzip: header too short"}
    ]


@pytest.mark.parametrize(
    "data, name",
    [
        (header(flags=FNAME) + b"data.txt\x00" + b"\x03\x00", "data.txt"),
        (header(flags=FNAME) + b"\x00", ""),
        # The extra field is skipped by its length; the name follows it.
        (header(flags=FNAME | FEXTRA) + b"\x06\x00AB\x02\x00xy" + b"data.txt\x00", "data.txt"),
        (header(flags=FNAME | FEXTRA) + b"\x00\x00" + b"n\x00", "n"),
        # With FEXTRA but no room for its length, the name starts right after the fixed header.
        (header(flags=FNAME | FEXTRA) + b"\x00", ""),
        # The header CRC and the comment follow the name and do not shift it.
        (header(flags=FNAME | FCOMMENT | FHCRC) + b"a.bin\x00note\x00\x12\x34", "a.bin"),
        (header(flags=FNAME) + b"caf\xe9.txt\x00", "caf\ufffd.txt"),
        (header(flags=FNAME) + "naïve.txt".encode() + b"\x00", "naïve.txt"),
        # No terminator, an extra field past the end, or a name flag without bytes: no name.
        (header(flags=FNAME) + b"data.txt", None),
        (header(flags=FNAME | FEXTRA) + b"\x20\x00" + b"abc\x00", None),
        (header(flags=FNAME | FEXTRA) + b"\x02\x00" + b"ab", None),
        (header(flags=FNAME), None),
        # Without FNAME a zero-terminated string after the header is not a name.
        (header() + b"data.txt\x00", None),
    ],
)
def test_original_filename(data, name):
    assert gzip_section(data).get("original_filename") == name


@pytest.mark.parametrize("length", [65535, 65536, 65537, 200000])
def test_long_names_by_path_and_bytes(tmp_path, length):
    # Names crossing the reader's search pieces come out whole, whichever way they are read.
    stem = bytes(b"abcdefghij"[i % 10] for i in range(length))
    data = header(flags=FNAME) + stem + b"\x00" + b"\x01" * 100
    path = tmp_path / "long.gz"
    path.write_bytes(data)
    assert parse(path)["gzip"]["original_filename"] == stem.decode()
    assert gzip_section(data)["original_filename"] == stem.decode()


def test_unterminated_name_by_path(tmp_path):
    path = tmp_path / "endless.gz"
    path.write_bytes(header(flags=FNAME) + b"x" * 300000)
    assert parse(path)["gzip"] == {"compression_method": "deflate", "os": "Unix"}


SAMPLES = {
    "notes.txt.gz": {
        "compression_method": "deflate",
        "modification_time_unix": 1704110400,
        "os": "Unix",
        "original_filename": "notes.txt",
    },
    "anonymous.gz": {"compression_method": "deflate", "os": "Unix"},
}


@pytest.mark.parametrize("file_name", sorted(SAMPLES))
def test_samples(file_name):
    path = DATA / "docs" / file_name
    assert parse_sample(path)["gzip"] == SAMPLES[file_name]
