"""The exif section against exiv2's own command-line tool, which reads the containers itself:
every sample gives the same keys and values, field by field."""

import json
import shutil
import subprocess

import pytest

from _vorandix import parse
from conftest import DATA

# exiv2's groups: the section key of their directory and the context of unnamed tags.
GROUPS = {
    "Image": ("primary", "Tiff"),
    "Photo": ("primary", "Exif"),
    "GPSInfo": ("primary", "Gps"),
    "Iop": ("primary", "Interop"),
    "Thumbnail": ("thumbnail", "Tiff"),
    "Image2": ("ifd2", "Tiff"),
    "Image3": ("ifd3", "Tiff"),
}
# exiv2's HEIF reader does not follow the iloc entries of this one; the extractor does.
MISSED_BY_EXIV2 = {"tagged.heic"}
SAMPLES = sorted(
    p for p in [*(DATA / "exif").iterdir(), DATA / "media" / "exif.webp"]
    if p.suffix != ".json" and p.name not in MISSED_BY_EXIV2
)


def oracle(path):
    out = subprocess.run(["exiv2", "-q", "-u", "-PEkt", str(path)], capture_output=True, text=True)
    sections = {}
    for line in out.stdout.splitlines():
        key, _, value = line.partition(" ")
        _, group, tag = key.split(".", 2)
        if group not in GROUPS:
            continue
        directory, context = GROUPS[group]
        name = f"Tag({context}, {int(tag, 16)})" if tag.startswith("0x") else tag
        sections.setdefault(directory, {})[name] = value.strip()
    return sections


@pytest.mark.skipif(shutil.which("exiv2") is None, reason="exiv2's command-line tool is not installed")
@pytest.mark.parametrize("path", SAMPLES, ids=lambda p: p.name)
def test_fields_agree_with_exiv2(path):
    exif = parse(path).get("exif", {})
    ours = {k: {t: v.strip() for t, v in d.items()} for k, d in exif.items() if k != "gps_decimal"}
    assert ours == oracle(path)
