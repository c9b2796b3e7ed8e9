import pathlib

import pytest

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"


@pytest.fixture
def data_dir() -> pathlib.Path:
    return DATA


def without_path_keys(result: dict) -> dict:
    """The result with the keys only a path gives removed, for comparing parse and parse_bytes."""
    out = dict(result)
    out["file"] = {
        k: v
        for k, v in result["file"].items()
        if k not in ("name", "extension_claimed", "modified_unix", "created_unix")
    }
    return out


def parse_sample(path: pathlib.Path) -> dict:
    """parse(path), after checking that parse_bytes of the same bytes agrees on everything but
    the path keys."""
    from _vorandix import parse, parse_bytes

    by_path = parse(path)
    assert without_path_keys(by_path) == parse_bytes(path.read_bytes())
    return by_path
