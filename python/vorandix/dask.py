"""Describing collections with Dask: on the local machine's cores, or on a cluster.

``vorandix.dask.scan(inputs)`` lists the files here, on the client, and describes them on the
workers, a partition of files at a time; the result is a ``dask.dataframe.DataFrame`` with the
columns of ``vorandix.schema()`` (pandas columns of ``pd.ArrowDtype``, so nothing is lost on the
way to Parquet). With a ``distributed`` client the workers may run on other machines: local
paths must then name the same files there, and object storage is reached through fsspec URLs.

Needs ``pip install 'vorandix[dask]'``.
"""

from __future__ import annotations

import os
import posixpath
import uuid
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Union

from vorandix import _batch
from vorandix._optional import require
from vorandix._scan import _as_inputs, _error, _records, _Walk, error_kind
from vorandix.arrow import record_batches, schema, to_arrow

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

    from vorandix._scan import Record, Task

__all__ = ["scan"]

_NEEDED_BY = "vorandix.dask.scan"

# A partition describes either local paths (the walk's tasks) or fsspec URLs, never both, so
# that each kind goes through its own reader.
_LOCAL, _URL = "local", "url"
Partition = tuple[str, list[Any]]
# The name of the describing tasks on the dashboard.
_LABEL = "vorandix-scan"


def _is_url(text: str) -> bool:
    scheme, sep, _ = text.partition("://")
    return bool(sep) and scheme.replace("+", "").replace("-", "").replace(".", "").isalnum()


def _url_files(url: str, recursive: bool, storage_options: dict[str, Any]) -> list[str]:
    """The file URLs under `url` (itself when it is not a folder), in sorted order."""
    fsspec = require("fsspec", "dask", _NEEDED_BY)
    fs, root = fsspec.core.url_to_fs(url, **storage_options)
    try:
        is_dir = fs.isdir(root)
    except OSError:
        is_dir = False  # describing it will say why
    if not is_dir:
        return [url]
    if not recursive:
        return []  # marked as a folder by the caller
    return [fs.unstrip_protocol(path) for path in sorted(fs.find(root))]


def _entries(
    inputs: Iterable[Any], recursive: bool, follow_symlinks: bool, storage_options: dict[str, Any]
) -> Iterator[tuple[str, Any]]:
    """(kind, item) for every file to describe, in walk order."""
    walk = _Walk(recursive=recursive, follow_symlinks=follow_symlinks)
    for item in inputs:
        text = os.fspath(item)
        if isinstance(text, str) and _is_url(text):
            files = _url_files(text, recursive, storage_options)
            if not files and not recursive:
                folder = _error(text, "is_a_directory", "a folder, not walked (recursive=False)")
                yield _LOCAL, (folder, None)
            for url in files:
                yield _URL, url
        else:
            for task in walk.inputs([item]):
                yield _LOCAL, task


def _threads() -> int:
    """The threads of the current distributed client's workers, else this machine's CPUs."""
    try:
        from distributed import default_client

        return max(1, sum(default_client().nthreads().values()))
    except (ImportError, ValueError):  # no distributed, or no client
        return os.cpu_count() or 1


def _partitions(entries: list[tuple[str, Any]], size: int | None) -> list[Partition]:
    if size is None:
        # One partition per worker thread: each partition costs a task, a frame of the whole
        # schema and, on to_parquet, a file (some 35 ms in all), which on small collections
        # outweighs the files' own work; 256 files at most keep a large collection spread.
        size = min(256, max(1, -(-len(entries) // _threads())))
    partitions: list[Partition] = []
    for kind, item in entries:
        last = partitions[-1] if partitions else None
        if last is None or last[0] != kind or len(last[1]) >= size:
            partitions.append((kind, []))
        partitions[-1][1].append(item)
    return partitions


def _url_error(url: str, exc: OSError) -> Record:
    if exc.errno:
        kind = error_kind(exc.errno)
    elif isinstance(exc, FileNotFoundError):
        kind = "not_found"
    elif isinstance(exc, PermissionError):
        kind = "permission"
    elif isinstance(exc, IsADirectoryError):
        kind = "is_a_directory"
    else:
        kind = "io"
    message = f"{exc.strerror} (os error {exc.errno})" if exc.errno and exc.strerror else str(exc)
    return _error(url, kind, message)


def _describe_urls(
    urls: list[str], hash: bool, storage_options: dict[str, Any]
) -> Iterator[Record]:
    fsspec = require("fsspec", "dask", _NEEDED_BY)
    from vorandix import parse_file

    for url in urls:
        name = posixpath.basename(url.rstrip("/"))
        try:
            with fsspec.open(url, "rb", **storage_options) as f:
                yield {"path": url, **parse_file(f, name=name, hash=hash)}
        except OSError as exc:
            yield _url_error(url, exc)


def _describe(
    partition: Partition, hash: bool, storage_options: dict[str, Any], scan_id: str = ""
) -> "pandas.DataFrame":
    """One partition's records as a pandas frame of schema(); runs on a worker.

    `scan_id` only makes the task's name the scan's own (see scan()); it is not read here."""
    pd = require("pandas", "dask", _NEEDED_BY)
    pa = require("pyarrow", "dask", _NEEDED_BY)
    kind, items = partition
    if kind == _LOCAL:
        # The columns are built natively from the reports' JSON text, with no Python dict per
        # file (as scan_batches builds them).
        tasks: list[Task] = items
        described = _records(_batch.Batch(iter(tasks), 0, hash, True))
        table = pa.Table.from_batches(list(record_batches(described)), schema=schema())
    else:
        records: list[Any] = list(_describe_urls(items, hash, storage_options))
        table = to_arrow(records)
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def scan(
    inputs: Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]],
    *,
    hash: bool = True,
    recursive: bool = True,
    follow_symlinks: bool = False,
    files_per_partition: int | None = None,
    storage_options: dict[str, Any] | None = None,
) -> "dask.dataframe.DataFrame":
    """A Dask DataFrame with one row per file under `inputs` and the columns of ``schema()``.

    `inputs` is one path or URL or an iterable of them. Local paths are walked here as
    ``vorandix.scan`` walks them (same order, same rules for links and special files) and
    described by path on the workers. Other inputs are fsspec URLs (``s3://bucket/photos``,
    ``file:///data``; ``storage_options`` go to fsspec): a URL naming a folder stands for every
    file below it, in sorted order, and each file is read through ``vorandix.parse_file``, with
    the URL as its path. A file that cannot be described is a row with ``error`` set, never a
    failed task. Rows keep the walk's order across partitions of `files_per_partition` files
    (by default one partition per thread of the current client's workers, or per CPU without
    a client, and at most 256 files in each).
    ``hash=False`` skips the whole-file pass, as in ``scan``.

    Nothing is read until the frame is computed; ``.to_parquet(...)`` writes it. Every call
    describes the files anew: two scans never share results on a cluster, even of the same files.
    """
    if files_per_partition is not None and files_per_partition < 1:
        raise ValueError("files_per_partition must be at least 1")
    dd = require("dask.dataframe", "dask", _NEEDED_BY)
    pd = require("pandas", "dask", _NEEDED_BY)
    options = dict(storage_options or {})
    entries = _entries(_as_inputs(inputs), bool(recursive), bool(follow_symlinks), options)
    partitions = _partitions(list(entries), files_per_partition)
    # The columns as (name, dtype) pairs rather than an empty frame, for from_map: Dask keeps
    # `meta` in the graph it pickles to the scheduler on every compute, and an empty frame of
    # these nested Arrow types costs some 10 ms each way to pickle where the pairs cost 2.
    # (Dask's expression, where it is used, holds vorandix._dask_expr.COLUMNS instead.)
    columns = [(field.name, pd.ArrowDtype(field.type)) for field in schema()]
    if not partitions:
        return dd.from_pandas(dd.utils.make_meta(columns), npartitions=1)
    # An id of its own for every scan, which Dask folds into the tasks' names. Dask takes
    # tasks of the same name for the same result: a scan of the same files as one still held
    # on the cluster (persisted) would be handed its rows, though the files changed since.
    kwargs = {"hash": bool(hash), "storage_options": options, "scan_id": uuid.uuid4().hex}
    return _frame(dd, partitions, columns, kwargs)


def _frame(
    dd: Any, partitions: list[Partition], columns: list[tuple[str, Any]], kwargs: dict[str, Any]
) -> "dask.dataframe.DataFrame":
    """``dd.from_map(_describe, partitions, **kwargs)`` with `columns`, schema()'s, as its meta.

    Built from Dask's expression directly where this Dask has it (see vorandix._dask_expr).
    from_map would also wrap the frame in a step that turns object columns into Arrow
    strings: every column here is an Arrow type already, so it changes nothing, yet
    to_parquet's graph is not fused and the step ran as a task of its own per partition, one
    more hop through the scheduler on every compute.
    """
    try:
        from dask.dataframe.dask_expr import new_collection

        from vorandix._dask_expr import COLUMNS, DescribeFiles
    except ImportError:
        return dd.from_map(
            _describe, partitions, **kwargs, meta=columns, enforce_metadata=False, label=_LABEL
        )
    expr = DescribeFiles(
        func=_describe,
        iterables=[partitions],
        args=[],
        kwargs=kwargs,
        user_meta=COLUMNS,
        enforce_metadata=False,
        label=_LABEL,
    )
    return new_collection(expr)
