"""Every input in tests/regressions, one per fault fixed, gives its recorded result, from memory
and by path."""

import json

import pytest

from conftest import DATA
from image_support import read_both_ways

FOLDER = DATA.parent / "regressions"
EXPECTED = json.loads((FOLDER / "expected.json").read_text())


def test_every_input_has_an_expected_result():
    inputs = {p.name for p in FOLDER.iterdir() if p.suffix not in (".py", ".json")}
    assert inputs == set(EXPECTED)


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_replay(name):
    assert read_both_ways((FOLDER / name).read_bytes()) == EXPECTED[name]
