"""Describing collections: walking inputs in a stable order and describing the files in parallel.

``scan`` yields one record per file. Folders are walked here, in Python (``os.scandir``); the
files themselves are described by ``vorandix._batch.Batch``, whose worker threads run the engine
with the GIL released and hand finished reports back in the order the walk produced them.
"""

from __future__ import annotations

import errno
import os
import stat

from vorandix import _batch

TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing at start-up
if TYPE_CHECKING:
    from typing import Any, Iterable, Iterator, Union

    StrOrBytesPath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
    from vorandix.report import Record
    # What the walk hands the batch: (record, None) for a record made here, (path, fs bytes)
    # for a file the engine is to describe.
    Task = tuple[Union[Record, str], Union[bytes, None]]

#: The kinds of ``record["error"]["kind"]``, for files that could not be described.
ERROR_KINDS = ("not_found", "permission", "not_a_regular_file", "is_a_directory", "io")

_KIND_BY_ERRNO = {
    errno.ENOENT: "not_found",  # missing, or a dangling symbolic link
    errno.ENOTDIR: "not_found",  # a component of the path is a file
    errno.ELOOP: "not_found",  # symbolic links that lead back to themselves
    errno.ENAMETOOLONG: "not_found",
    errno.EACCES: "permission",
    errno.EPERM: "permission",
    errno.EISDIR: "is_a_directory",
    errno.ENXIO: "not_a_regular_file",  # what opening a socket gives
    errno.ENODEV: "not_a_regular_file",
}

_SPECIAL_FILES = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def error_kind(code: int) -> str:
    """The record's error kind for an ``errno`` value ("io" for anything unlisted, and for 0)."""
    return _KIND_BY_ERRNO.get(code, "io")


def _error(path: str, kind: str, message: str) -> Record:
    return {"path": path, "error": {"kind": kind, "message": message}}


def _os_error(path: str, exc: OSError) -> Record:
    if exc.errno is None or exc.strerror is None:
        return _error(path, "io", str(exc))
    # The engine's own form for a system error, so both sources of errors read alike.
    return _error(path, error_kind(exc.errno), f"{exc.strerror} (os error {exc.errno})")


def _special(path: str, mode: int) -> Record:
    what = next((name for test, name in _SPECIAL_FILES if test(mode)), "not a regular file")
    return _error(path, "not_a_regular_file", f"{what}: not a regular file, not opened")


def _name_key(entry: os.DirEntry[str]) -> bytes:
    # The file system's bytes: a stable order whatever the names' encoding.
    return os.fsencode(entry.name)


def _listing(path: str) -> Iterator[os.DirEntry[str]]:
    with os.scandir(path) as it:
        entries = list(it)
    entries.sort(key=_name_key)
    return iter(entries)


def _file(path: str) -> Task:
    return path, os.fsencode(path)


class _Walk:
    """The tasks for a sequence of inputs, walked depth first, each folder's entries in the byte
    order of their names. A folder that is already being walked further up (a link back to an
    ancestor, a bind mount of one) is not entered again, which ends every loop."""

    def __init__(self, recursive: bool, follow_symlinks: bool) -> None:
        self.recursive = recursive
        self.follow_symlinks = follow_symlinks

    def inputs(self, inputs: Iterable[StrOrBytesPath]) -> Iterator[Task]:
        for item in inputs:
            path = os.fsdecode(os.fspath(item))
            try:
                # A path named by the caller is followed even when it is a link.
                st = os.stat(path)
            except OSError as exc:
                yield _os_error(path, exc), None
                continue
            except ValueError as exc:  # a NUL byte or an unencodable name: no such file
                yield _error(path, "not_found", str(exc)), None
                continue
            if stat.S_ISREG(st.st_mode):
                yield _file(path)
            elif not stat.S_ISDIR(st.st_mode):
                yield _special(path, st.st_mode), None
            elif not self.recursive:
                yield _error(path, "is_a_directory", "a folder, not walked (recursive=False)"), None
            else:
                yield from self.folder(path, st)

    def folder(self, top: str, top_st: os.stat_result) -> Iterator[Task]:
        # An explicit stack: a deep tree must not reach Python's recursion limit.
        stack: list[tuple[Iterator[os.DirEntry[str]], tuple[int, int]]] = []
        ancestors: set[tuple[int, int]] = set()

        def enter(path: str, st: os.stat_result) -> Task | None:
            key = (st.st_dev, st.st_ino)
            if key in ancestors:
                return None
            try:
                stack.append((_listing(path), key))
            except OSError as exc:
                return _os_error(path, exc), None
            ancestors.add(key)
            return None

        failed = enter(top, top_st)
        if failed:
            yield failed
        while stack:
            entries, key = stack[-1]
            entry = next(entries, None)
            if entry is None:
                stack.pop()
                ancestors.discard(key)
                continue
            path = entry.path
            try:
                if entry.is_file(follow_symlinks=False):
                    yield _file(path)
                    continue
                if entry.is_symlink():
                    st = os.stat(path)
                    if stat.S_ISDIR(st.st_mode) and not self.follow_symlinks:
                        continue  # linked folders are walked only on request
                else:
                    st = entry.stat(follow_symlinks=False)
            except OSError as exc:
                yield _os_error(path, exc), None
                continue
            if stat.S_ISREG(st.st_mode):
                yield _file(path)
            elif stat.S_ISDIR(st.st_mode):
                failed = enter(path, st)
                if failed:
                    yield failed
            else:
                yield _special(path, st.st_mode), None


def _as_inputs(inputs: StrOrBytesPath | Iterable[StrOrBytesPath]) -> Iterable[StrOrBytesPath]:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        return (inputs,)
    return inputs


# The most files described at once (one thread each).
MAX_JOBS: int = _batch.MAX_JOBS


def _worker_count(jobs: int | None) -> int:
    """The batch's `jobs`: 0 for one job, which runs on the caller's thread alone and spares a
    hand-off per file; otherwise `jobs` (the batch starts jobs - 1 workers beside the caller)."""
    if jobs is None:
        jobs = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        jobs = min(jobs or 1, MAX_JOBS)
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if not 1 <= jobs <= MAX_JOBS:
        raise ValueError(f"jobs must be 1 to {MAX_JOBS}, not {jobs}")
    return 0 if jobs == 1 else jobs


def _records(batch: _batch.Batch) -> Iterator[Any]:
    """Records from the batch; in its JSON form, (path, report's JSON text) for a file described."""
    try:
        for tag, value in batch:
            if value is None:
                yield tag
            elif type(value) is dict:
                yield {"path": tag, **value}
            elif type(value) is bytes:
                yield tag, value
            else:
                code, message = value
                yield _error(tag, error_kind(code), message)
    finally:
        # Also on close() and garbage collection: no worker outlives the iterator.
        batch.close()


def scan(
    inputs: StrOrBytesPath | Iterable[StrOrBytesPath],
    *,
    jobs: int | None = None,
    recursive: bool = True,
    follow_symlinks: bool = False,
    hash: bool = True,
) -> Iterator[Record]:
    """Describe files and folders; yield one record per file, in walk order.

    `inputs` is one path or an iterable of paths (``str``, ``bytes`` or ``os.PathLike``), read
    lazily. A folder is walked depth first, each folder's entries in the byte order of their
    names; with ``recursive=False`` it gives an ``is_a_directory`` record instead. Symbolic
    links to files are described; links to folders met during the walk are followed only with
    ``follow_symlinks=True``, and never into a folder that is being walked further up, so links
    cannot loop. Paths given in `inputs` are always followed. FIFOs, sockets and devices are
    never opened.

    Each record is ``{"path": path, **report}``, the report as ``parse`` gives it, or
    ``{"path": path, "error": {"kind": kind, "message": text}}`` for a file that could not be
    described, `kind` being one of ``ERROR_KINDS``. `path` is a ``str`` (``os.fsencode`` gives
    back the file system's bytes). Nothing is raised for one file.

    `jobs` files are described at once (default: one per available CPU; at most ``MAX_JOBS``,
    1,024), by ``jobs - 1`` native threads and the calling thread, all with the GIL released;
    the records still come in walk order, and only a bounded number are in flight, so memory
    stays flat over any number of files. ``hash=False`` leaves out the whole-file pass: the
    ``file`` section then has no ``sha256``, ``crc32`` or ``entropy_bits_per_byte``, and large
    files are described from their headers alone.

    Ctrl-C (or any exception while waiting) stops the workers before it propagates; closing the
    iterator early stops them too.
    """
    return _records(_start(inputs, jobs, recursive, follow_symlinks, hash, json=False))


def scan_json(
    inputs: StrOrBytesPath | Iterable[StrOrBytesPath],
    *,
    jobs: int | None = None,
    recursive: bool = True,
    follow_symlinks: bool = False,
    hash: bool = True,
) -> Iterator[Record | tuple[str, bytes]]:
    """scan() for the command: a file described comes as (path, its report's JSON text), the
    text written by the worker that read the file, as json.dumps(report, ensure_ascii=False)
    would write it; records made without reading a file come as dicts."""
    return _records(_start(inputs, jobs, recursive, follow_symlinks, hash, json=True))


def _start(
    inputs: StrOrBytesPath | Iterable[StrOrBytesPath],
    jobs: int | None,
    recursive: bool,
    follow_symlinks: bool,
    hash: bool,
    json: bool,
) -> _batch.Batch:
    workers = _worker_count(jobs)
    walk = _Walk(recursive=bool(recursive), follow_symlinks=bool(follow_symlinks))
    return _batch.Batch(walk.inputs(_as_inputs(inputs)), workers, bool(hash), json)
