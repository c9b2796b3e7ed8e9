"""The "file" section: whole-stream facts, and the facts only a path gives."""

import hashlib
import math
import os
import pathlib
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _vorandix import parse, parse_bytes


def reference_entropy(data: bytes) -> float:
    counts = [0] * 256
    for b in data:
        counts[b] += 1
    h = -0.0
    for c in counts:
        if c:
            p = c / len(data)
            h = h - math.log2(p) * p
    # C's round(): halves away from zero (x - floor(x) is exact for doubles).
    x = abs(h * 1000)
    r = math.floor(x) + (1 if x - math.floor(x) >= 0.5 else 0)
    return math.copysign(r / 1000, h)


def expected_facts(data: bytes) -> dict:
    facts = {
        "size_bytes": len(data),
        "sha256": hashlib.sha256(data).hexdigest(),
        "crc32": format(zlib.crc32(data), "08x"),
    }
    if data:
        facts["entropy_bits_per_byte"] = reference_entropy(data)
    return facts


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=3000))
def test_facts_match_reference_implementations(data):
    got = parse_bytes(data)["file"]
    got.pop("mime_detected", None)
    got.pop("extension_canonical", None)
    assert got == expected_facts(data)


@pytest.mark.parametrize(
    "data, entropy",
    [
        (b"\x00" * 1000, 0.0),
        (bytes(range(256)) * 4, 8.0),
        (b"ab" * 500, 1.0),
        (b"abc", 1.585),
    ],
)
def test_entropy_values(data, entropy):
    assert parse_bytes(data)["file"]["entropy_bits_per_byte"] == entropy


def test_single_value_entropy_is_negative_zero():
    h = parse_bytes(b"zzzz")["file"]["entropy_bits_per_byte"]
    assert h == 0.0 and math.copysign(1.0, h) == -1.0


def test_large_input_crosses_read_boundaries():
    data = os.urandom(64 * 1024 * 3 + 17)
    assert {k: v for k, v in parse_bytes(data)["file"].items() if k in ("sha256", "crc32")} == {
        "sha256": hashlib.sha256(data).hexdigest(),
        "crc32": format(zlib.crc32(data), "08x"),
    }


def test_crc_is_zero_padded():
    data = next(bytes([i, 0x33]) for i in range(256) if zlib.crc32(bytes([i, 0x33])) < 0x10000000)
    assert parse_bytes(data)["file"]["crc32"] == format(zlib.crc32(data), "08x")
    assert parse_bytes(data)["file"]["crc32"].startswith("0")


def test_sniffed_type_without_a_reader_is_still_reported():
    file = parse_bytes(b"7z\xbc\xaf\x27\x1c" + bytes(30))["file"]
    assert (file["mime_detected"], file["extension_canonical"]) == (
        "application/x-7z-compressed",
        "7z",
    )


def test_parse_and_parse_bytes_agree_apart_from_path_keys(tmp_path):
    data = b"\x89PNG\r\n\x1a\n" + os.urandom(5000)
    p = tmp_path / "image.jpg"
    p.write_bytes(data)
    by_path = parse(p)
    file = by_path["file"]
    assert file["name"] == "image.jpg"
    assert file["extension_claimed"] == "jpg"
    assert file["extension_canonical"] == "png"
    assert "modified_unix" in file
    for key in ("name", "extension_claimed", "modified_unix", "created_unix"):
        file.pop(key, None)
    assert by_path == parse_bytes(data)


@pytest.mark.parametrize(
    "name, claimed",
    [("photo.JPG", "JPG"), ("archive.tar.gz", "gz"), ("trailing.", ""), ("README", None),
     (".profile", None), ("..hidden", "hidden")],
)
def test_claimed_extension(tmp_path, name, claimed):
    p = tmp_path / name
    p.write_bytes(b"x")
    file = parse(p)["file"]
    assert file["name"] == name
    assert file.get("extension_claimed") == claimed


@pytest.mark.parametrize(
    "ns, expected",
    [
        (900_000_000, 0),
        (1_700_000_000_999_999_999, 1_700_000_000),
        (-100_000_000_000, None),
        (-500_000_000, None),
    ],
)
def test_modification_time(tmp_path, ns, expected):
    p = tmp_path / "t.bin"
    p.write_bytes(b"x")
    os.utime(p, ns=(ns, ns))
    assert parse(p)["file"].get("modified_unix") == expected


def test_empty_file_has_path_keys_and_empty_input_facts(tmp_path):
    p = tmp_path / "empty.txt"
    p.touch()
    file = parse(p)["file"]
    assert file["size_bytes"] == 0 and file["crc32"] == "00000000"
    assert "entropy_bits_per_byte" not in file and "mime_detected" not in file
    assert file["name"] == "empty.txt" and file["extension_claimed"] == "txt"


def test_unreadable_content_is_an_error_record_beside_the_path_keys(tmp_path):
    # A directory opens but cannot be read: the failure belongs to the "file" reader.
    d = tmp_path / "folder.d"
    d.mkdir()
    result = parse(d)
    assert result["errors"] == [
        {"extractor": "file", "message": "I/O error: Is a directory (os error 21)"}
    ]
    assert result["file"]["name"] == "folder.d"
    assert result["file"]["extension_claimed"] == "d"
    assert "size_bytes" not in result["file"]


def test_size_from_metadata_digests_from_bytes_read():
    # Files under /proc report size 0 yet yield content: no head, no type, but digests of
    # what was read.
    path = pathlib.Path("/proc/self/cmdline")
    if not path.exists():
        pytest.skip("no /proc")
    file = parse(path)["file"]
    assert file["size_bytes"] == 0
    assert "mime_detected" not in file
    assert file["sha256"] != hashlib.sha256(b"").hexdigest()
