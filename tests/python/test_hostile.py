"""Hostile inputs: what a section collects stops at the core's limits and says so, and every
call returns or can be stopped."""

import os
import signal
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

from _vorandix import parse, parse_bytes

ITEMS = 100_000
TEXT = 16 << 20


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def zip_entries(name, count):
    entry = b"PK\x01\x02" + bytes(24) + struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, 0) + name
    start = b"PK\x03\x04" + bytes(26)
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 0, 0, 0, len(start), 0)
    return start + entry * count + end


# (section, input, list or text key to look at, expected length, expected "truncated")
CASES = [
    ("jpeg", b"\xff\xd8" + b"\xff\xfe\x00\x02" * ITEMS, "segments", ITEMS, None),
    ("jpeg", b"\xff\xd8" + b"\xff\xfe\x00\x02" * (ITEMS + 1), "segments", ITEMS, {"segments": ITEMS}),
    ("png", b"\x89PNG\r\n\x1a\n" + png_chunk(b"abCd", b"") * (ITEMS + 1), "chunks", ITEMS, {"chunks": ITEMS}),
    ("mp4", struct.pack(">I4sI", 12, b"ftyp", 0) + struct.pack(">I4s", 8, b"free") * (ITEMS + 1), "top_level_boxes", ITEMS, {"top_level_boxes": ITEMS}),
    ("mp4", struct.pack(">I4s", 16 + 4 * (ITEMS + 1), b"ftyp") + b"isom\0\0\0\0" + b"mp41" * (ITEMS + 1), "compatible_brands", ITEMS, {"compatible_brands": ITEMS}),
    ("zip", zip_entries(b"a", ITEMS + 1), "entries", ITEMS, {"entries": ITEMS}),
    ("zip", zip_entries(b"n" * 65535, TEXT // 65535 + 2), "entries", TEXT // 65535 + 1, {"entries.name": TEXT}),
    ("gzip", b"\x1f\x8b\x08\x08" + bytes(6) + b"n" * (TEXT + 1) + b"\0", "original_filename", TEXT, {"original_filename": TEXT}),
    ("gzip", b"\x1f\x8b\x08\x08" + bytes(6) + b"n" * TEXT + b"\0", "original_filename", TEXT, None),
    ("png", b"\x89PNG\r\n\x1a\n" + png_chunk(b"tEXt", b"k\0" + b"\xe9" * TEXT), "text", 1, {"text": TEXT}),
    ("jpeg", b"\xff\xd8" + (b"\xff\xfe\xff\xff" + b"c" * 65533) * (TEXT // 65533 + 2), "segments", TEXT // 65533 + 1, {"segments.comment": TEXT}),
    ("id3", b"ID3\x03\0\0\x7f\x7f\x7f\x7fTIT2\xff\xff\xff\xf0\0\0\0" + b"n" * (TEXT + 10), "frames", 1, {"frames.title": TEXT}),
    ("pdf", b"%PDF-1.7\n/Title (" + b"n" * (TEXT + (2 << 20)), "info", 1, {"info.title": TEXT}),
]


@pytest.mark.parametrize("section, data, key, length, cut", CASES)
def test_limits_cut_visibly_and_nothing_more(section, data, key, length, cut):
    result = parse_bytes(data)[section]
    assert len(result[key]) == length
    assert result.get("truncated") == cut
    # Texts are cut on a character boundary, within the limit: "é" takes two bytes.
    value = result[key]
    text = value if isinstance(value, str) else None
    if isinstance(value, dict):
        text = value.get("k", value.get("title"))
    if text is not None:
        assert len(text.encode()) <= TEXT and set(text[-2:]) <= {"n", "\xe9"}


def test_a_fifo_without_a_writer_returns_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    start = time.monotonic()
    assert parse(fifo)["file"]["size_bytes"] == 0
    assert time.monotonic() - start < 5


def run_python(code, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60, **kwargs)


def test_ctrl_c_stops_an_endless_read():
    # Python's own Ctrl-C handler, set explicitly: a child of a shell's background job inherits
    # SIGINT ignored, and Python then leaves it so.
    code = (
        "import signal, _vorandix; signal.signal(signal.SIGINT, signal.default_int_handler); "
        "print('go', flush=True); _vorandix.parse('/dev/zero')"
    )
    proc = subprocess.Popen(
        [sys.executable, "-c", code],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    assert proc.stdout.readline() == "go\n"
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=10)
    assert proc.returncode != 0 and err.strip().endswith("KeyboardInterrupt")


def test_lone_surrogate_path_fails_like_any_missing_name():
    with pytest.raises(OSError, match=r"^/x/\ufffd+: No such file or directory \(os error 2\)$"):
        parse("/x/\ud800")


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated sub-interpreters came with 3.12")
def test_a_refused_sub_interpreter_binds_nothing():
    out = run_python(
        """
        try:
            import _interpreters as interpreters
            interp = interpreters.create(interpreters.new_config("isolated"))
            run = interpreters.run_string
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=True)
            run = interpreters.run_string
        try:
            failure = run(interp, "import _vorandix")  # 3.13 returns the failure
        except Exception as exc:  # 3.12 raises it
            failure = exc
        assert "does not support loading in subinterpreters" in str(failure)
        import _vorandix
        print(_vorandix.parse_bytes(b"x")["file"]["size_bytes"])
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[-1] == "1"
