"""The module's surface: attributes, argument rules, exceptions and the shape of results."""

import ctypes
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _vorandix
from _vorandix import parse, parse_bytes


def test_attributes():
    assert _vorandix.__doc__ == "Metadata extraction for any file type."
    assert _vorandix.__version__ == "0.1.0"
    assert _vorandix.__all__ == ["__doc__", "parse", "parse_bytes", "__version__"]
    assert parse.__text_signature__ == "(path)"
    assert parse.__doc__ == (
        "Parse a file by path and return its metadata as a dict.\n\n"
        "Raises OSError if the file cannot be read."
    )
    assert parse_bytes.__text_signature__ == "(data)"
    assert parse_bytes.__doc__ == (
        "Parse an in-memory buffer and return its metadata as a dict.\n\n"
        "Useful for data that never touches disk, such as an upload or a download."
    )
    for f in (parse, parse_bytes):
        assert f.__self__ is _vorandix
        assert f.__module__ == "_vorandix"


def test_second_initialisation_returns_the_same_module():
    init = ctypes.PyDLL(_vorandix.__file__).PyInit__vorandix
    init.restype = ctypes.py_object
    assert init() is _vorandix


def test_sub_interpreters_are_refused():
    code = textwrap.dedent(
        """
        import _vorandix
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # Python 3.13 renamed it, and returns a failure instead of raising it
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config("legacy"))
            failure = interpreters.exec(interp, "import _vorandix")
            print(failure.type.__name__, failure.msg)
        else:
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import _vorandix")
            except Exception as exc:
                print(type(exc).__name__, exc)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert re.search(r"ImportError\W+_vorandix does not support sub-interpreters", out.stdout)


class FsPathRaises:
    def __init__(self, exc):
        self.exc = exc

    def __fspath__(self):
        raise self.exc


class FsPathBytes:
    def __fspath__(self):
        return b"/tmp"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: parse(), "parse() missing 1 required positional argument: 'path'"),
        (lambda: parse_bytes(), "parse_bytes() missing 1 required positional argument: 'data'"),
        (lambda: parse("a", "b"), "parse() takes 1 positional arguments but 2 were given"),
        (lambda: parse_bytes(b"", b"", b""),
         "parse_bytes() takes 1 positional arguments but 3 were given"),
        (lambda: parse(file="x"), "parse() got an unexpected keyword argument 'file'"),
        (lambda: parse_bytes(b"", path="x"),
         "parse_bytes() got an unexpected keyword argument 'path'"),
        (lambda: parse("x", path="x"), "parse() got multiple values for argument 'path'"),
        (lambda: parse_bytes(bytearray(b"x")),
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda: parse_bytes(memoryview(b"x")),
         "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda: parse_bytes(data="text"),
         "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda: parse(b"/tmp"),
         "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: parse(FsPathBytes()),
         "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: parse(3),
         "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (lambda: parse(FsPathRaises(TypeError("no path here"))), "argument 'path': no path here"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_errors_from_fspath_other_than_type_errors_pass_through():
    exc = ValueError("custom")
    with pytest.raises(ValueError) as info:
        parse(FsPathRaises(exc))
    assert info.value is exc


def test_keyword_arguments_are_accepted():
    assert parse_bytes(data=b"abc")["file"]["size_bytes"] == 3
    assert "file" in parse(path=__file__)


def test_bytes_subclass_is_accepted():
    class Sub(bytes):
        pass

    assert parse_bytes(Sub(b"xyz"))["file"]["size_bytes"] == 3


def test_missing_file_raises_oserror_with_path_and_system_text(tmp_path):
    missing = tmp_path / "nope.bin"
    with pytest.raises(OSError) as info:
        parse(str(missing))
    assert type(info.value) is OSError
    assert str(info.value) == f"{missing}: No such file or directory (os error 2)"
    assert info.value.errno is None and info.value.filename is None


def test_unreadable_file_raises_oserror(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads every file")
    p = tmp_path / "secret"
    p.write_bytes(b"x")
    p.chmod(0)
    with pytest.raises(OSError, match=r"Permission denied \(os error 13\)$"):
        parse(p)


def test_nul_in_path_is_an_oserror():
    with pytest.raises(OSError, match="unexpected NUL byte"):
        parse("a\0b")


def test_empty_input_has_a_file_section_only():
    assert parse_bytes(b"") == {
        "file": {
            "crc32": "00000000",
            "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
            "size_bytes": 0,
        }
    }


def test_every_call_returns_a_new_object():
    a, b = parse_bytes(b"abc"), parse_bytes(b"abc")
    assert a == b and a is not b and a["file"] is not b["file"]


def keys_in_byte_order(value) -> bool:
    if isinstance(value, dict):
        keys = [k.encode() for k in value]
        return keys == sorted(keys) and all(keys_in_byte_order(v) for v in value.values())
    if isinstance(value, list):
        return all(keys_in_byte_order(v) for v in value)
    return True


def test_keys_iterate_in_byte_order(tmp_path):
    p = tmp_path / "x.gif"
    p.write_bytes(b"GIF89a" + bytes(20))
    assert keys_in_byte_order(parse(p))
    assert keys_in_byte_order(parse_bytes(b"\x89PNG\r\n\x1a\n"))


def test_pathlike_and_undecodable_names(tmp_path):
    raw = os.fsencode(tmp_path) + b"/\xff\xfe.Bin"
    with open(raw, "wb") as f:
        f.write(b"data")
    result = parse(os.fsdecode(raw))["file"]
    assert result["name"] == "\ufffd\ufffd.Bin"
    assert result["extension_claimed"] == "Bin"
    assert parse(pathlib.Path(os.fsdecode(raw)))["file"]["size_bytes"] == 4


MAGICS = [
    b"", b"\xff\xd8\xff", b"\x89PNG\r\n\x1a\n", b"GIF89a", b"BM", b"RIFF", b"ID3", b"\x7fELF",
    b"%PDF-", b"\x1f\x8b\x08", b"PK\x03\x04", b"\x00\x00\x00\x18ftypisom", b"II*\x00",
]


@settings(max_examples=400, deadline=None)
@given(st.sampled_from(MAGICS), st.binary(max_size=600))
def test_any_content_returns_a_dict(magic, tail):
    result = parse_bytes(magic + tail)
    assert isinstance(result, dict) and "file" in result
    assert keys_in_byte_order(result)
