"""The "riff" section: form type, WAVE format by the padded chunk walk, WebP first chunk."""

import json
import struct

import pytest
from conftest import DATA, parse_sample

from _vorandix import parse_bytes


def chunk(cid: bytes, data: bytes, pad: bool = True) -> bytes:
    out = cid + struct.pack("<I", len(data)) + data
    return out + b"\x00" if pad and len(data) % 2 else out


def riff(form: bytes, body: bytes = b"") -> bytes:
    return b"RIFF" + struct.pack("<I", 4 + len(body)) + form + body


def fmt(tag=1, channels=1, rate=8000, bits=8) -> bytes:
    align = channels * bits // 8
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)


WAVE = {"form_type": "WAVE", "media_kind": "audio (WAV)"}
PCM_8K = {**WAVE, "audio_format_tag": 1, "channels": 1, "sample_rate": 8000, "bits_per_sample": 8}
WEBP = {"form_type": "WEBP", "media_kind": "image (WebP)"}


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(riff(b"WAVE"), WAVE, id="wave-header-only"),
        pytest.param(riff(b"WAVE", chunk(b"fmt ", fmt()) + chunk(b"data", b"\x80" * 8)), PCM_8K,
                     id="canonical-pcm"),
        pytest.param(riff(b"WAVE", chunk(b"LIST", b"INFOx") + chunk(b"fmt ", fmt())), PCM_8K,
                     id="odd-chunk-then-pad-byte"),
        # Without the pad byte, the walk lands one byte into `fmt ` and finds nothing.
        pytest.param(riff(b"WAVE", chunk(b"LIST", b"INFOx", pad=False) + chunk(b"fmt ", fmt())),
                     WAVE, id="odd-chunk-missing-pad"),
        pytest.param(
            riff(b"WAVE", chunk(b"fmt ", fmt(rate=44100, bits=16, channels=2))
                 + chunk(b"fmt ", fmt())),
            {**WAVE, "audio_format_tag": 1, "channels": 2, "sample_rate": 44100,
             "bits_per_sample": 16},
            id="first-fmt-wins",
        ),
        # The declared size does not matter while 16 bytes are there.
        pytest.param(riff(b"WAVE", b"fmt " + struct.pack("<I", 2) + fmt()), PCM_8K,
                     id="fmt-size-understated"),
        pytest.param(riff(b"WAVE", b"fmt " + struct.pack("<I", 16) + fmt()[:15]), WAVE,
                     id="fmt-cut-short"),
        pytest.param(riff(b"WAVE", b"JUNK" + struct.pack("<I", 1000) + b"\x00" * 8
                          + chunk(b"fmt ", fmt())), WAVE, id="chunk-past-end"),
        pytest.param(riff(b"WAVE", b"JUNK" + struct.pack("<I", 0xFFFFFFFF) + chunk(b"fmt ", fmt())),
                     WAVE, id="chunk-size-max"),
        pytest.param(riff(b"WAVE", b"JUNK\x00\x00"), WAVE, id="chunk-header-cut"),
        pytest.param(riff(b"AVI ", chunk(b"LIST", b"hdrl")),
                     {"form_type": "AVI ", "media_kind": "video (AVI)"}, id="avi"),
        pytest.param(riff(b"AVIX"), {"form_type": "AVIX"}, id="avi-continuation"),
        pytest.param(riff(b"WAV\xc3"), {"form_type": "WAV\ufffd"}, id="form-type-not-utf8"),
    ],
)
def test_riff_forms(data, expected):
    assert parse_bytes(data)["riff"] == expected


def vp8(width_bytes: bytes, height_bytes: bytes, start=b"\x9d\x01\x2a") -> bytes:
    return b"VP8 " + struct.pack("<I", 10) + b"\x00\x00\x00" + start + width_bytes + height_bytes


def vp8x(flags: int, width: bytes, height: bytes) -> bytes:
    return b"VP8X" + struct.pack("<I", 10) + bytes([flags, 0, 0, 0]) + width + height


@pytest.mark.parametrize(
    "first_chunk, expected",
    [
        # The top two bits of each 16-bit size are a scale hint and are dropped.
        (vp8(b"\x90\x41", b"\x2c\xc1"),
         {"webp_format": "lossy", "width": 400, "height": 300}),
        (vp8(b"\x90\x41", b"\x2c\x01", start=b"\x9d\x01\x2b"), {"webp_format": "lossy"}),
        (vp8(b"\x90\x41", b"\x2c"), {"webp_format": "lossy"}),
        (b"VP8L" + struct.pack("<I", 5) + b"\x2f\x00\x00\x00\x00",
         {"webp_format": "lossless", "width": 1, "height": 1}),
        # 14 bits of width - 1, then 14 bits of height - 1: 0x3FFF and 0x1234.
        (b"VP8L" + struct.pack("<I", 5) + b"\x2f" + struct.pack("<I", 0x3FFF | (0x1234 << 14)),
         {"webp_format": "lossless", "width": 16384, "height": 0x1235}),
        (b"VP8L" + struct.pack("<I", 5) + b"\x2f\x00\x00\x00", {"webp_format": "lossless"}),
        (vp8x(0x10, b"\xff\x00\x00", b"\x7f\x00\x00"),
         {"webp_format": "extended", "has_alpha": True, "has_animation": False,
          "has_exif": False, "width": 256, "height": 128}),
        (vp8x(0x0A, b"\x00\x00\x01", b"\xff\xff\xff"),
         {"webp_format": "extended", "has_alpha": False, "has_animation": True,
          "has_exif": True, "width": 65537, "height": 16777216}),
        (vp8x(0x10, b"\xff\x00\x00", b"\x7f\x00"), {"webp_format": "extended"}),
        (b"VP8Z" + bytes(20), {}),
        (b"VP8", {}),
    ],
)
def test_webp_first_chunk(first_chunk, expected):
    assert parse_bytes(riff(b"WEBP", first_chunk))["riff"] == {**WEBP, **expected}


@pytest.mark.parametrize("data", [b"RIFF", b"RIFF" + b"\x00" * 7, b"RIFF\x04\x00\x00\x00WAV"])
def test_short_header_is_an_error_beside_the_file_section(data):
    result = parse_bytes(data)
    assert "riff" not in result
    assert result["errors"] == [{"extractor": "riff", "message": "malformed riff: header too short"}]
    assert result["file"]["size_bytes"] == len(data)


SAMPLES = json.loads((DATA / "media" / "expected.json").read_text())


@pytest.mark.parametrize("name", [n for n, s in SAMPLES.items() if "riff" in s])
def test_samples(name):
    path = DATA / "media" / name
    assert parse_sample(path)["riff"] == SAMPLES[name]["riff"]
