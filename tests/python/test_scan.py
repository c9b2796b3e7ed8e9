"""vorandix.scan and vorandix.parse_file: the walk, the records, order under jobs, stopping."""

import io
import os
import signal
import socket
import time

import pytest

import vorandix
from _vorandix import parse, parse_bytes
from conftest import DATA, without_path_keys
from vorandix import _batch

SAMPLES = sorted(p for p in DATA.rglob("*") if p.is_file())
DIGESTS = ("sha256", "crc32", "entropy_bits_per_byte")
ROOT = os.geteuid() == 0


def native_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def threads_back_to(count: int) -> bool:
    """Whether the process is back to `count` threads. A joined thread has finished, but the
    kernel may list it for a moment more while it exits, so this looks again for a while."""
    deadline = time.monotonic() + 2
    while native_threads() != count and time.monotonic() < deadline:
        time.sleep(0.005)
    return native_threads() == count


@pytest.fixture
def awkward(tmp_path):
    """A tree with every kind of member a walk meets, and what scan makes of each, in order:
    None for a file described, else the error kind; a third column when following links."""
    t = tmp_path / "tree"
    (t / "sub" / "deeper").mkdir(parents=True)
    (t / "a.png").write_bytes((DATA / "sample.png").read_bytes())
    (t / "sub" / "b.txt").write_bytes(b"hello\n")
    (t / "sub" / "deeper" / "c.gif").write_bytes(b"GIF89a" + bytes(10))
    (t / "sub" / "up").symlink_to("..")  # a loop through an ancestor
    (t / "empty").touch()
    os.mkfifo(t / "fifo")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(t / "sock"))
    (t / "dangling").symlink_to("nowhere")
    (t / "loop").symlink_to("loop")
    (t / "link.png").symlink_to("a.png")
    (t / "linkdir").symlink_to("sub")
    (t / "zzz-empty-folder").mkdir()
    (t / os.fsdecode(b"bad\xffname")).write_bytes(b"x")
    (t / "locked").write_bytes(b"secret")
    (t / "locked").chmod(0)
    plain = "described"
    rows = [
        ("a.png", plain, True),
        (os.fsdecode(b"bad\xffname"), plain, True),
        ("dangling", "not_found", True),
        ("empty", plain, True),
        ("fifo", "not_a_regular_file", True),
        ("link.png", plain, True),
        ("linkdir/b.txt", plain, False),
        ("linkdir/deeper/c.gif", plain, False),  # linkdir/up leads back to tree: not entered
        ("locked", plain if ROOT else "permission", True),
        ("loop", "not_found", True),
        ("sock", "not_a_regular_file", True),
        ("sub/b.txt", plain, True),
        ("sub/deeper/c.gif", plain, True),
    ]
    return t, rows


def outcome(record):
    return record["error"]["kind"] if "error" in record else "described"


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("follow", [False, True])
def test_awkward_tree(awkward, jobs, follow):
    tree, rows = awkward
    threads = native_threads()
    records = list(vorandix.scan(tree, jobs=jobs, follow_symlinks=follow))
    assert threads_back_to(threads)
    seen = [(os.path.relpath(r["path"], tree), outcome(r)) for r in records]
    assert seen == [(path, kind) for path, kind, plain in rows if plain or follow]
    for record in records:
        assert all(isinstance(k, str) for k in record) and isinstance(record["path"], str)
        if "error" in record:
            assert set(record) == {"path", "error"} and record["error"]["message"]
        elif not record["path"].endswith("locked"):
            assert record == {"path": record["path"], **parse(record["path"])}


def test_inputs_files_folders_and_flags(awkward, tmp_path):
    tree, _ = awkward
    missing = tmp_path / "missing"
    records = list(
        vorandix.scan([tree / "sub", os.fsencode(tree / "empty"), str(missing)], jobs=2)
    )
    assert [(os.path.relpath(r["path"], tree), outcome(r)) for r in records] == [
        ("sub/b.txt", "described"),
        ("sub/deeper/c.gif", "described"),
        ("empty", "described"),
        (os.path.relpath(missing, tree), "not_found"),
    ]
    # A linked folder named as an input is followed; recursive=False reports folders instead.
    assert [outcome(r) for r in vorandix.scan(tree / "linkdir")] == ["described"] * 2
    assert [outcome(r) for r in vorandix.scan(tree, recursive=False)] == ["is_a_directory"]
    for jobs in (0, vorandix.MAX_JOBS + 1):  # not a million threads for a mistyped count
        with pytest.raises(ValueError):
            vorandix.scan(tree, jobs=jobs)
    with pytest.raises(ValueError):
        vorandix._batch.Batch(iter(()), vorandix.MAX_JOBS + 1, True)


def test_records_keep_walk_order_whatever_the_jobs(tmp_path):
    # Large files first, so later small ones finish earlier on other workers.
    for i in range(40):
        (tmp_path / f"{i:02}").write_bytes(os.urandom(((40 - i) % 7) * 300_000))
    one = list(vorandix.scan(tmp_path, jobs=1))
    assert [r["path"] for r in one] == sorted(str(p) for p in tmp_path.iterdir())
    for jobs in (2, 3, 8):
        assert list(vorandix.scan(tmp_path, jobs=jobs)) == one


def test_hash_false_leaves_out_only_the_digests():
    with_hash = list(vorandix.scan(DATA, jobs=2))
    without = list(vorandix.scan(DATA, jobs=2, hash=False))
    assert len(without) == len(SAMPLES)
    for full, short in zip(with_hash, without):
        full["file"] = {k: v for k, v in full["file"].items() if k not in DIGESTS}
        assert short == full


def test_batch_reports_native_failures_and_passes_tags_through(tmp_path):
    items = [("gone", os.fsencode(tmp_path / "gone")), ({"made": 1}, None), ("nul", b"a\0b")]
    results = list(_batch.Batch(items, 2, True))
    assert results[0][0] == "gone" and results[0][1][0] == 2
    assert results[1] == ({"made": 1}, None)
    assert results[2] == ("nul", (0, "file name contained an unexpected NUL byte"))
    assert vorandix._scan.error_kind(results[0][1][0]) == "not_found"
    with pytest.raises(TypeError):
        list(_batch.Batch([("x", "not bytes")], 0, True))


def test_closing_early_and_failing_inputs_stop_every_worker(tmp_path):
    for i in range(30):
        (tmp_path / f"{i:02}").write_bytes(bytes(100_000))
    threads = native_threads()
    it = vorandix.scan(tmp_path, jobs=3)
    next(it)
    assert native_threads() > threads
    it.close()
    assert threads_back_to(threads)
    it = vorandix.scan(tmp_path, jobs=3)
    next(it)
    del it  # garbage collection closes it too
    assert threads_back_to(threads)

    def inputs():
        yield tmp_path / "00"
        yield tmp_path / "01"
        raise RuntimeError("listing failed")

    with pytest.raises(RuntimeError, match="listing failed"):
        list(vorandix.scan(inputs(), jobs=2))
    assert threads_back_to(threads)


class Stop(Exception):
    pass


def test_a_signal_while_waiting_for_workers_stops_them(tmp_path):
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(256 << 20)
    threads = native_threads()

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Stop):
            list(vorandix.scan([big, big], jobs=2))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert threads_back_to(threads)


class ReadOnly:
    """A file object with read and seek only, as many remote files are."""

    def __init__(self, data: bytes):
        self._f = io.BytesIO(data)
        self.read, self.seek = self._f.read, self._f.seek


class Failing(io.BytesIO):
    def __init__(self, data, exc):
        super().__init__(data)
        self.exc = exc

    def readinto(self, b):
        if self.tell() >= 4:
            raise self.exc
        return super().readinto(memoryview(b)[:4])


@pytest.mark.parametrize("sample", SAMPLES, ids=lambda p: p.name)
def test_parse_file_equals_parse_bytes(sample):
    data = sample.read_bytes()
    expected = parse_bytes(data)
    assert vorandix.parse_file(ReadOnly(data)) == expected
    with open(sample, "rb") as f:
        f.seek(3)
        named = vorandix.parse_file(f, name=sample.name)
        assert f.tell() == 3
    assert without_path_keys(named) == expected
    assert named["file"] == {
        k: v for k, v in parse(sample)["file"].items() if k not in ("modified_unix", "created_unix")
    }


@pytest.mark.parametrize(
    "exc, message",
    [
        (OSError(5, "Input/output error"), "I/O error: Input/output error (os error 5)"),
        (ValueError("I/O operation on closed file."), "I/O error: I/O operation on closed file."),
    ],
)
def test_parse_file_reports_failing_reads(exc, message):
    result = vorandix.parse_file(Failing(b"GIF89a" + bytes(20), exc))
    assert result["errors"] == [{"extractor": "file", "message": message}]


@pytest.mark.parametrize(
    "fileobj, raised",
    [
        (Failing(b"x" * 100, KeyboardInterrupt()), KeyboardInterrupt),
        (io.StringIO("text"), TypeError),
        (object(), TypeError),
    ],
)
def test_parse_file_raises_what_is_not_a_failed_read(fileobj, raised):
    with pytest.raises(raised):
        vorandix.parse_file(fileobj)


def test_parse_file_without_digests(tmp_path):
    with open(DATA / "media" / "video.mp4", "rb") as f:
        result = vorandix.parse_file(f, hash=False)
    assert "mp4" in result and not set(DIGESTS) & set(result["file"])


def test_json_floats_are_written_as_python_writes_them():
    from hypothesis import given
    from hypothesis import strategies as st

    @given(st.floats(allow_nan=False, allow_infinity=False))
    def check(x):
        assert _batch._json_float(x) == repr(x)

    check()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with threads running
def test_a_forked_child_does_not_wait_for_workers_it_does_not_have(tmp_path):
    for i in range(20):
        (tmp_path / f"{i:02}").write_bytes(bytes(200_000))
    it = vorandix.scan(tmp_path, jobs=2)
    next(it)
    pid = os.fork()
    if pid == 0:
        try:
            next(it)
        except RuntimeError:
            os._exit(0)
        finally:
            os._exit(1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(list(it)) == 19
