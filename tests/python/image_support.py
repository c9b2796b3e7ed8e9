"""Helpers for the image reader tests: every input is read both from memory and from a file."""

import json
import os
import pathlib
import tempfile

from _vorandix import parse, parse_bytes
from conftest import DATA, parse_sample, without_path_keys

IMAGES = DATA / "images"
EXPECTED = json.loads((IMAGES / "expected.json").read_text())


def read_both_ways(data: bytes) -> dict:
    """parse_bytes(data), after checking that parse() of the same bytes in a file agrees."""
    fd, name = tempfile.mkstemp()
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        from_path = parse(name)
    finally:
        os.unlink(name)
    from_bytes = parse_bytes(data)
    assert without_path_keys(from_path) == from_bytes
    return from_bytes


def samples(suffix: str) -> list[pathlib.Path]:
    return sorted(IMAGES.glob("*" + suffix))


def check_sample(path: pathlib.Path, section: str) -> None:
    from_path = parse_sample(path)
    assert from_path[section] == EXPECTED[path.name]
