"""The vorandix command: JSON Lines for every input, errors as records, options, exit status."""

import fcntl
import json
import os
import pty
import struct
import subprocess
import sys
import termios

import pytest

import vorandix
from conftest import DATA


def run(*args, stdin=b"", env=None):
    return subprocess.run(
        [sys.executable, "-m", "vorandix", *map(str, args)],
        input=stdin,
        capture_output=True,
        env=env,
    )


def records(out):
    return [json.loads(line) for line in out.stdout.decode().splitlines()]


@pytest.fixture
def files(tmp_path):
    (tmp_path / "d" / "e").mkdir(parents=True)
    (tmp_path / "d" / "a.gif").write_bytes(b"GIF89a" + bytes(10))
    (tmp_path / "d" / "e" / "b.bin").write_bytes(b"BB")
    (tmp_path / "c.txt").write_bytes(b"C")
    return tmp_path


def test_every_input_gives_one_line_in_order_and_errors_stay_in_the_stream(files):
    missing = files / "missing"
    out = run(files / "c.txt", files / "d", missing)
    assert out.returncode == 1 and out.stderr == b""
    lines = out.stdout.decode().splitlines()
    got = [json.loads(line) for line in lines]
    assert [r["path"] for r in got] == [
        str(p) for p in (files / "c.txt", files / "d/a.gif", files / "d/e/b.bin", missing)
    ]
    assert got[-1]["error"]["kind"] == "not_found"
    # The lines are the records scan yields, as json.dumps writes them.
    expected = list(vorandix.scan([files / "c.txt", files / "d", missing]))
    assert lines == [json.dumps(r, ensure_ascii=False) for r in expected]
    assert run(files / "c.txt").returncode == 0


@pytest.mark.parametrize(
    "options, check",
    [
        (["--no-hash"], lambda rs: all("sha256" not in r["file"] for r in rs)),
        (["-j", "2"], lambda rs: [r["path"].rsplit("/", 1)[1] for r in rs] == ["a.gif", "b.bin"]),
        (["--no-recursive"], lambda rs: rs[0]["error"]["kind"] == "is_a_directory"),
    ],
)
def test_walk_options(files, options, check):
    out = run(*options, files / "d")
    assert check(records(out))


@pytest.mark.parametrize("null", [False, True])
def test_files_from_a_list_or_standard_input(files, null):
    sep = b"\0" if null else b"\n"
    names = sep.join(os.fsencode(files / n) for n in ("c.txt", "d/a.gif")) + sep
    listing = files / "list"
    listing.write_bytes(names)
    flags = ["-0"] if null else []
    for out in (
        run("--files-from", listing, *flags),
        run("--files-from", "-", *flags, stdin=names),
        run(files / "c.txt", "--files-from", "-", *flags, stdin=names[names.index(sep) + 1 :]),
    ):
        assert [r["path"] for r in records(out)] == [str(files / "c.txt"), str(files / "d/a.gif")]


@pytest.mark.parametrize(
    "chunks", [[b"a\nbc\n\nd"], [b"a\nb", b"c\n", b"\nd"], [b"a", b"\n", b"b", b"c\nd"]]
)
def test_names_split_across_reads(chunks):
    from vorandix.__main__ import _names

    reads = iter([*chunks, b""])
    stream = type("Stream", (), {"read1": lambda self, size: next(reads)})()
    assert list(_names(stream, b"\n")) == [b"a", b"bc", b"d"]


def test_dash_reads_standard_input_where_it_stands(files):
    out = run(files / "c.txt", "-", files / "d/a.gif", stdin=b"\x89PNG\r\n\x1a\n")
    assert out.returncode == 0
    paths_and_types = [(r["path"], r["file"].get("mime_detected")) for r in records(out)]
    assert paths_and_types == [
        (str(files / "c.txt"), None),
        ("-", "image/png"),
        (str(files / "d/a.gif"), "image/gif"),
    ]
    assert "name" not in records(out)[1]["file"]


def test_output_file_pretty_and_undecodable_names(files):
    raw = os.fsencode(files) + b"/caf\xe9.bin"
    with open(raw, "wb") as f:
        f.write(b"x")
    target = files / "out.jsonl"
    out = run("-o", target, "--pretty", raw.decode("utf-8", "surrogateescape"))
    assert out.stdout == b"" and target.read_text().startswith('{\n  "path": ')
    record = json.loads(target.read_text())
    assert record["path"].endswith("caf\ufffd.bin") and bytes.fromhex(record["path_bytes"]) == raw
    assert record["file"]["size_bytes"] == 1
    plain = records(run(raw.decode("utf-8", "surrogateescape")))
    assert plain == [record]
    assert "path_bytes" not in records(run(files / "c.txt"))[0]


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["-0", "x"],
        ["-j", "0", "x"],
        ["-j", "1025", "x"],
        ["--files-from", "-", "-"],
        ["-o", "/no/such/dir/f", "x"],
        ["--files-from", "/no/such"],
    ],
)
def test_usage_errors_exit_2(args):
    out = run(*args)
    assert out.returncode == 2 and out.stdout == b"" and b"usage" in out.stderr


@pytest.mark.parametrize(
    "args", [["-o", "/dev/full"], ["--format", "parquet", "-o", "/dev/full"], []]
)
def test_output_that_cannot_be_written_exits_2_with_one_line(args):
    with open("/dev/full", "wb") as full:
        out = subprocess.run([sys.executable, "-m", "vorandix", "-q", *args, DATA], stdout=full,
                             stderr=subprocess.PIPE)
    where = "/dev/full" if args else "standard output"
    message = f"vorandix: error: cannot write {where}: No space left on device\n"
    assert (out.returncode, out.stderr.decode()) == (2, message)


def test_version():
    out = run("--version")
    assert out.returncode == 0 and out.stdout.decode().split() == ["vorandix", vorandix.__version__]


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_only_on_a_terminal(quiet):
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    try:
        args = [sys.executable, "-m", "vorandix", str(DATA / "images"), *(["-q"] if quiet else [])]
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        follower = -1
        shown = b""
        try:
            while chunk := os.read(leader, 4096):
                shown += chunk
        except OSError:  # the terminal is closed
            pass
    finally:
        os.close(leader)
        if follower >= 0:
            os.close(follower)
    assert proc.returncode == 0 and len(proc.stdout.splitlines()) == 10
    if quiet:
        assert shown == b""
    else:
        assert b"10/10" in shown and b"files" in shown
    # Not a terminal: nothing on stderr.
    assert run(DATA / "images").stderr == b""


def test_progress_ends_at_its_total_when_the_count_is_slower(monkeypatch, capsys):
    # The files of a fast run can all be described before the counting walk is over.
    from vorandix.__main__ import _parser, _Progress

    monkeypatch.setattr(_Progress, "_count", lambda self, *args: self.stop.wait())
    progress = _Progress(_parser().parse_args([str(DATA / "images")]))
    for _ in range(3):
        progress.update({"file": {"size_bytes": 10}})
    progress.close(complete=True)
    assert "3/3" in capsys.readouterr().err
