"""The installed types, as a user's type checker sees them, and as the module fills them."""

import pathlib
import re
import subprocess
import sys
import typing

import pytest

import _vorandix
from vorandix.report import Report

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "data"


def mypy(script: pathlib.Path, tmp_path: pathlib.Path) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    # From an empty folder, so only the installed package and stubs can be found.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
         "--python-executable", sys.executable, str(script)],
        capture_output=True, text=True, cwd=tmp_path,
    )


def test_mypy_accepts_correct_use(tmp_path):
    result = mypy(HERE / "typecheck" / "user_script.py", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_every_mistake(tmp_path):
    script = HERE / "typecheck" / "wrong_script.py"
    expected = {
        (number, match[1])
        for number, line in enumerate(script.read_text().splitlines(), 1)
        if (match := re.search(r"# error: ([\w-]+)$", line))
    }
    result = mypy(script, tmp_path)
    reported = {(int(m[1]), m[2]) for m in re.finditer(r":(\d+): error: .*\[([\w-]+)\]$",
                                                      result.stdout, re.M)}
    assert len(expected) == 7 and reported == expected, result.stdout


def conforms(value: object, hint: object) -> bool:
    """Whether `value`, as the module made it, is an instance of the annotation `hint`."""
    if typing.is_typeddict(hint):
        hints = typing.get_type_hints(hint)
        return (isinstance(value, dict) and set(value) <= set(hints)
                and hint.__required_keys__ <= set(value)
                and all(conforms(v, hints[k]) for k, v in value.items()))
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin is list:
        return isinstance(value, list) and all(conforms(v, args[0]) for v in value)
    if origin is dict:
        return isinstance(value, dict) and all(
            isinstance(k, str) and conforms(v, args[1]) for k, v in value.items())
    if args:  # a union such as float | None
        return any(conforms(value, a) for a in args)
    return type(value) is (type(None) if hint is None else hint)


SAMPLES = sorted(p for p in DATA.rglob("*") if p.suffix not in {".json", ".py", ".sh", ""}
                 and p.is_file())


@pytest.mark.parametrize("source", [*SAMPLES, b"GIF89a", b""], ids=str)
def test_results_match_the_declared_types(source):
    result = _vorandix.parse_bytes(source) if isinstance(source, bytes) else _vorandix.parse(source)
    assert conforms(result, Report), result
