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
