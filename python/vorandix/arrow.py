"""Records as Arrow tables: one schema for every key a report can hold.

``schema()`` gives the ``pyarrow.Schema``; ``to_arrow(records)`` turns records (as ``scan`` yields
them) into a table with exactly that schema, and ``from_arrow(table)`` gives the records back.
Nothing is dropped on the way: a key the schema does not know is an error, not a silent loss.
``scan_batches(inputs)`` is ``scan`` straight into record batches of that schema: the columns are
built natively from the reports' JSON text, without a Python dict per record, which makes it
the fast way to a table (``write_parquet(scan_batches(...), path)``).

Layout: the columns ``path``, ``path_bytes``, ``error`` and ``errors``, then one struct column per
section in the engine's order. Integers are ``uint64`` (the engine's counts, sizes and offsets
are unsigned), decimals ``float64``, flags ``bool``, texts ``string``. Segments, chunks, boxes and
entries are lists of structs; objects keyed by names found in the file (EXIF directories, PNG
text, the ``truncated`` map of a section cut by a size limit) are maps. A key absent from a record
is a null.

Paths: ``path`` is always valid UTF-8, so Parquet, DuckDB and pandas can read it. A path that is
not valid UTF-8 (``scan`` gives it with surrogate escapes, as ``os.fsdecode`` does) is stored as a
display string, each invalid byte shown as U+FFFD, and its raw bytes go to ``path_bytes``, which is
null for every other path. ``os.fsdecode(path_bytes)`` restores the original ``str``.

pyarrow is optional: ``pip install 'vorandix[arrow]'``.
"""

from __future__ import annotations

import base64
import contextlib
import functools
import os
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Union

from vorandix import _batch
from vorandix._lines import json_line
from vorandix._optional import require
from vorandix._scan import scan_json

if TYPE_CHECKING:
    import pyarrow

__all__ = [
    "schema",
    "to_arrow",
    "from_arrow",
    "scan_batches",
    "write_parquet",
    "split_path",
    "SECTIONS",
]

# The layout is declared in plain Python so that it can be read without pyarrow and also
# drives the key check of to_arrow and the pruning of from_arrow. A declaration is one of:
#   a type name ("uint64", "int64", "float64", "bool", "string", "binary");
#   a dict: a struct with these keys;
#   a one-element list: a list of that;
#   ("map", type name): text keys found in the file, values of that type;
#   ("kept", type name): a key present whenever its parent is, whose null is a value of the
#       report (a number the engine could not compute), not an absent key.
Decl = Union[str, dict, list, tuple]

_U64, _F64, _STR, _BOOL = "uint64", "float64", "string", "bool"
_TEXT_MAP = ("map", _STR)
# Every section may say which of its fields a size limit of the engine cut, and at what limit.
_TRUNCATED = ("map", "int64")

SECTIONS: dict[str, dict[str, Decl]] = {
    "file": {
        "size_bytes": _U64,
        "mime_detected": _STR,
        "extension_canonical": _STR,
        "entropy_bits_per_byte": _F64,
        "sha256": _STR,
        "crc32": _STR,
        "name": _STR,
        "extension_claimed": _STR,
        "modified_unix": _U64,
        "created_unix": _U64,
    },
    "jpeg": {
        "segments": [
            {
                "marker": _STR,
                "name": _STR,
                "offset": _U64,
                "length": _U64,
                "payload": _STR,
                "jfif_version": _STR,
                "density": _STR,
                "comment": _STR,
            }
        ],
        "width": _U64,
        "height": _U64,
        "bit_depth": _U64,
        "components": _U64,
        "progressive": _BOOL,
        "color_space_guess": _STR,
        "quality_estimate": _U64,
        "xmp_packet_chars": _U64,
        "scan_data_offset": _U64,
    },
    "png": {
        "chunks": [{"type": _STR, "offset": _U64, "length": _U64}],
        "width": _U64,
        "height": _U64,
        "bit_depth": _U64,
        "color_type": _STR,
        "interlaced": _BOOL,
        "text": _TEXT_MAP,
        "last_modified": _STR,
        "gamma": _F64,
        "dpi": _F64,
    },
    "gif": {
        "version": _STR,
        "width": _U64,
        "height": _U64,
        "color_resolution_bits": _U64,
        "global_color_table": _BOOL,
        "global_color_table_size": _U64,
        "frames": _U64,
        "animated": _BOOL,
        "loop_count": _U64,
    },
    "bmp": {
        "file_size_header": _U64,
        "dib_header_size": _U64,
        "width": _U64,
        "height": _U64,
        "top_down": _BOOL,
        "bit_depth": _U64,
        "compression": _STR,
    },
    "riff": {
        "form_type": _STR,
        "media_kind": _STR,
        "audio_format_tag": _U64,
        "channels": _U64,
        "sample_rate": _U64,
        "bits_per_sample": _U64,
        "webp_format": _STR,
        "width": _U64,
        "height": _U64,
        "has_alpha": _BOOL,
        "has_animation": _BOOL,
        "has_exif": _BOOL,
    },
    "exif": {
        "primary": _TEXT_MAP,
        "thumbnail": _TEXT_MAP,
        "ifd2": _TEXT_MAP,
        "ifd3": _TEXT_MAP,
        # A zero denominator in the GPS rationals gives a coordinate the engine reports as null.
        "gps_decimal": {"latitude": ("kept", _F64), "longitude": ("kept", _F64)},
    },
    "id3": {
        "version": _STR,
        "unsynchronisation": _BOOL,
        "extended_header": _BOOL,
        "tag_size": _U64,
        "frames": {
            key: _STR
            for key in (
                "title",
                "artist",
                "album",
                "year",
                "genre",
                "track",
                "album_artist",
                "composer",
            )
        },
    },
    "mp4": {
        "top_level_boxes": [{"type": _STR, "size": _U64}],
        "major_brand": _STR,
        "minor_version": _U64,
        "compatible_brands": [_STR],
        "timescale": _U64,
        "duration_units": _U64,
        "duration_seconds": _F64,
    },
    "elf": {"class": _STR, "endianness": _STR, "abi": _STR, "type": _STR, "machine": _STR},
    "pdf": {
        "version": _STR,
        "object_count": _U64,
        "page_count": _U64,
        "linearized": _BOOL,
        "encrypted": _BOOL,
        "info": {
            key: _STR
            for key in (
                "title",
                "author",
                "subject",
                "creator",
                "producer",
                "keywords",
                "creation_date",
                "modification_date",
            )
        },
    },
    "gzip": {
        "compression_method": _STR,
        "modification_time_unix": _U64,
        "os": _STR,
        "original_filename": _STR,
    },
    "zip": {
        "entry_count": _U64,
        "compression_ratio": _F64,
        "container_kind": _STR,
        "entries": [
            {
                "name": _STR,
                "method": _STR,
                "compressed": _U64,
                "uncompressed": _U64,
                "modified": _STR,
            }
        ],
    },
}
for _fields in SECTIONS.values():
    _fields["truncated"] = _TRUNCATED

# The whole record: where it came from, why it could not be described, which readers failed,
# and the sections.
_COLUMNS: dict[str, Decl] = {
    "path": _STR,
    "path_bytes": "binary",
    "error": {"kind": _STR, "message": _STR},
    "errors": [{"extractor": _STR, "message": _STR}],
    **SECTIONS,
}


def _pyarrow(needed_by: str) -> Any:
    return require("pyarrow", "arrow", needed_by)


def _arrow_type(pa: Any, decl: Decl) -> Any:
    if isinstance(decl, str):
        return getattr(pa, decl)() if decl != "bool" else pa.bool_()
    if isinstance(decl, dict):
        return pa.struct([pa.field(k, _arrow_type(pa, v)) for k, v in decl.items()])
    if isinstance(decl, list):
        return pa.list_(_arrow_type(pa, decl[0]))
    kind, value = decl
    if kind == "map":
        return pa.map_(pa.string(), _arrow_type(pa, value))
    return _arrow_type(pa, value)


@functools.lru_cache(maxsize=None)
def _schema() -> "pyarrow.Schema":
    pa = _pyarrow("vorandix.schema")
    fields = [pa.field(k, _arrow_type(pa, v)) for k, v in _COLUMNS.items()]
    fields[0] = pa.field("path", pa.string(), nullable=False)
    return pa.schema(fields)


def schema() -> "pyarrow.Schema":
    """The Arrow schema of every record ``scan`` can yield (see the module's docstring)."""
    return _schema()


def split_path(path: str) -> tuple[str, bytes | None]:
    """``(display, raw)`` for a path as ``os.fsdecode`` gives it: the display string is valid
    UTF-8 with U+FFFD for each byte that was not; ``raw`` is the path's bytes when they were not
    valid UTF-8, else None."""
    try:
        path.encode("utf-8")
        return path, None
    except UnicodeEncodeError:
        raw = os.fsencode(path)
        return raw.decode("utf-8", "replace"), raw


# A key check for one declaration: (value) -> the dotted path below it of a key it does not
# declare, or None; it raises _Misfit for a value that its column would change. Key sets are
# compared as sets, in C, and only structs, lists and maps of integers are descended into.
_Check = Callable[[Any], Union[str, None]]


class _Misfit(ValueError):
    """A value that pyarrow would change on its way into its column: a fraction given for an
    integer, which pyarrow truncates. `path` is the keys down to it."""

    def __init__(self, problem: str) -> None:
        super().__init__(problem)
        self.path: list[str] = []


def _integral(value: Any) -> None:
    if type(value) is float and not value.is_integer():
        raise _Misfit(f"{value!r} is not an integer")
    return None


def _key_check(decl: Decl) -> _Check | None:
    """The check for values of `decl`; None when nothing below it could hold a key or a
    fraction."""
    if decl in ("uint64", "int64"):
        return _integral
    if isinstance(decl, tuple) and decl[0] == "map" and _key_check(decl[1]) is _integral:

        def check_map(value: Any) -> str | None:
            if type(value) is dict:
                for key, item in value.items():
                    try:
                        _integral(item)
                    except _Misfit as misfit:
                        misfit.path.insert(0, str(key))
                        raise
            return None

        return check_map
    if isinstance(decl, list):
        inner = _key_check(decl[0])
        if inner is None:
            return None

        def check_list(value: Any) -> str | None:
            if type(value) is list:
                for item in value:
                    found = inner(item)
                    if found is not None:
                        return found
            return None  # a wrong type is pyarrow's to report

        return check_list
    if not isinstance(decl, dict):
        return None
    known = frozenset(decl)
    # Integers are checked here, without a call for each.
    integers = [k for k, v in decl.items() if _key_check(v) is _integral]
    children = [
        (k, c) for k, c in ((k, _key_check(v)) for k, v in decl.items()) if c and c is not _integral
    ]

    def check_struct(value: Any) -> str | None:
        if type(value) is not dict:
            return None
        if not value.keys() <= known:
            return next(key for key in value if key not in known)
        for key in integers:
            item = value.get(key)
            if type(item) is float and not item.is_integer():
                misfit = _Misfit(f"{item!r} is not an integer")
                misfit.path.append(key)
                raise misfit
        for key, child in children:
            item = value.get(key)
            if item is not None:
                try:
                    found = child(item)
                except _Misfit as misfit:
                    misfit.path.insert(0, key)
                    raise
                if found is not None:
                    return f"{key}.{found}"
        return None

    return check_struct


@functools.lru_cache(maxsize=None)
def _key_checks() -> dict[str, _Check]:
    return {k: c for k, c in ((k, _key_check(v)) for k, v in _COLUMNS.items()) if c}


def _columns(records: Iterable[dict]) -> dict[str, list]:
    rows = records if isinstance(records, list) else list(records)
    n = len(rows)
    columns: dict[str, list] = {name: [None] * n for name in _COLUMNS}
    checks = _key_checks()
    for i, record in enumerate(rows):
        if not isinstance(record, dict):
            raise TypeError(f"record {i}: a record is a dict, not {type(record).__name__}")
        for key, value in record.items():
            column = columns.get(key)
            if column is None:
                raise ValueError(f"record {i}: key {key!r} is not in vorandix.schema()")
            check = checks.get(key)
            if check is not None and value is not None:
                try:
                    found = check(value)
                except _Misfit as misfit:
                    where = ".".join([key, *misfit.path])
                    raise ValueError(f"record {i}: key '{where}': {misfit}") from None
                if found is not None:
                    raise ValueError(f"record {i}: key '{key}.{found}' is not in vorandix.schema()")
            column[i] = value
        path = record.get("path")
        if not isinstance(path, str):
            raise TypeError(f"record {i}: 'path' must be a str, not {type(path).__name__}")
        given = record.get("path_bytes")
        if given is None:
            columns["path"][i], columns["path_bytes"][i] = split_path(path)
        elif isinstance(given, str):
            # JSON Lines carry the raw bytes as hex beside the display string.
            columns["path_bytes"][i] = bytes.fromhex(given)
        error = record.get("error")
        if isinstance(error, dict) and isinstance(error.get("message"), str):
            # An OS error's text may quote a path, surrogate escapes included.
            columns["error"][i] = {**error, "message": split_path(error["message"])[0]}
    return columns


def to_arrow(records: Iterable[dict]) -> "pyarrow.Table":
    """A ``pyarrow.Table`` with ``schema()`` holding ``records`` (dicts as ``scan`` yields them,
    or as the command's JSON Lines hold them, with ``path_bytes`` in hex).

    Raises ValueError for a key the schema does not have, naming it, and pyarrow's own errors for
    a value of the wrong type. Needs pyarrow (``pip install 'vorandix[arrow]'``).
    """
    pa = _pyarrow("vorandix.to_arrow")
    target = _schema()
    columns = _columns(records)
    arrays = [pa.array(columns[f.name], type=f.type) for f in target]
    return pa.Table.from_arrays(arrays, schema=target)


class _Taken:
    """Rows taken from ``_batch.Rows``, for pyarrow's import of the Arrow PyCapsule interface."""

    def __init__(self, target: "pyarrow.Schema", array: object) -> None:
        self.target, self.array = target, array

    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        return self.target.__arrow_c_schema__(), self.array


# A batch of rows is taken once it holds this many bytes of JSON text, whatever its row count:
# memory stays bounded when records are large.
_BATCH_TEXT_BYTES = 64 << 20


def record_batches(
    items: Iterable[Any], rows_per_batch: int = 1024
) -> Iterator["pyarrow.RecordBatch"]:
    """Record batches of ``schema()`` for `items` as ``scan_json`` yields them: (path, report's
    JSON text) for a file described, a record dict otherwise. Each batch holds `rows_per_batch`
    rows (the last one fewer, and any one fewer when its records are large)."""
    if rows_per_batch < 1:
        raise ValueError("rows_per_batch must be at least 1")
    pa = _pyarrow("vorandix.scan_batches")
    target = _schema()
    rows = _batch.Rows(target.__arrow_c_schema__())

    def take() -> "pyarrow.RecordBatch":
        return pa.record_batch(_Taken(target, rows.take()))

    for item in items:
        if type(item) is tuple:
            try:
                added = rows.add_report(*item)
            except UnicodeEncodeError:  # a path that is not UTF-8: its line carries path_bytes
                added = rows.add_line(json_line(item))
        else:
            added = rows.add_line(json_line(item))
        if not added:  # a record too large to join the rows before it
            yield take()
            rows.add_line(json_line(item))
        if len(rows) >= rows_per_batch or rows.text_bytes >= _BATCH_TEXT_BYTES:
            yield take()
    if len(rows):
        yield take()


def scan_batches(
    inputs: Any,
    *,
    jobs: int | None = None,
    recursive: bool = True,
    follow_symlinks: bool = False,
    hash: bool = True,
    rows_per_batch: int = 1024,
) -> Iterator["pyarrow.RecordBatch"]:
    """``scan(inputs, ...)`` as ``pyarrow.RecordBatch`` objects of ``schema()``, `rows_per_batch`
    rows each (fewer for the last, and for large records): the same records in the same order,
    equal to ``to_arrow`` of them, with the columns built natively from each report's JSON text
    as the worker threads write it. Needs pyarrow (``pip install 'vorandix[arrow]'``)."""
    _pyarrow("vorandix.scan_batches")
    items = scan_json(
        inputs, jobs=jobs, recursive=recursive, follow_symlinks=follow_symlinks, hash=hash
    )
    try:
        yield from record_batches(items, rows_per_batch)
    finally:
        items.close()  # type: ignore[attr-defined]  # a generator: stops the workers now


class _Writer:
    """Writes tables and record batches to a ``ParquetWriter`` on a thread of its own, so that
    encoding a row group (pyarrow releases the GIL for it) overlaps with describing the next
    files instead of holding them up. At most two pieces wait, which bounds memory; the first
    failure of a write is raised by the next ``put`` or by ``close``."""

    def __init__(self, writer: Any, rows_per_group: int) -> None:
        import queue
        import threading

        self.writer = writer
        self.rows_per_group = rows_per_group
        self.pieces: Any = queue.Queue(maxsize=2)
        self.failure: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="vorandix-parquet", daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while (piece := self.pieces.get()) is not None:
            if self.failure is None:
                try:
                    self.writer.write(piece, row_group_size=self.rows_per_group)
                except BaseException as exc:  # handed to the caller's thread
                    self.failure = exc

    def put(self, piece: Any) -> None:
        if self.failure is not None:
            raise self.failure
        self.pieces.put(piece)

    def close(self) -> None:
        """Waits for the pieces already given; raises the first failure."""
        self.pieces.put(None)
        self.thread.join()
        if self.failure is not None:
            raise self.failure


# The writer writes a page header, then a page, for every column of every row group: each
# would be a system call, or for a Python file object a call that takes the GIL.
_SINK_BUFFER = 1 << 20


class _CallerFile:
    """The caller's binary file as the raw end of the buffer. Closing it leaves the file open.

    Once a write to it has failed, or the buffer has had its last flush (`dropping`), later
    writes are dropped. pyarrow writes again when it collects what could not close: a Parquet
    writer whose row group failed part-way writes its footer, and the buffer flushes. Those
    late writes must not reach the file (they would fail again, and pyarrow prints that on
    standard error), and the buffer must stay attached to take them: a detached one crashes."""

    def __init__(self, file: Any) -> None:
        self.file = file
        self.dropping = False

    @property
    def closed(self) -> bool:
        return bool(self.file.closed)

    def write(self, data: Any) -> Any:
        if self.dropping:
            return len(data)
        try:
            return self.file.write(data)
        except Exception:
            self.dropping = True
            raise

    def flush(self) -> None:
        if not self.dropping:
            try:
                self.file.flush()
            except Exception:
                self.dropping = True
                raise

    def close(self) -> None:
        pass


@contextlib.contextmanager
def _buffered(pa: Any, where: Any) -> Iterator[Any]:
    """`where` (a local path or a binary file object) behind a buffer; anything else (a URI,
    a pyarrow stream) as it is. A file object given is flushed, not closed."""
    if isinstance(where, (str, bytes, os.PathLike)) and "://" not in os.fsdecode(where):
        with pa.output_stream(os.fsdecode(where), buffer_size=_SINK_BUFFER) as out:
            yield out
    elif hasattr(where, "write") and not isinstance(where, pa.NativeFile):
        caller = _CallerFile(where)
        out = pa.BufferedOutputStream(pa.PythonFile(caller, mode="w"), _SINK_BUFFER)
        try:
            yield out
        finally:
            try:
                out.flush()  # the row groups and the footer reach the caller's file
            finally:
                caller.dropping = True
    else:
        yield where


def _statistics_columns() -> list[str]:
    """``path`` and the ``file`` section's values, as Parquet names their columns."""
    file = _COLUMNS["file"]
    assert isinstance(file, dict)
    return ["path", *(f"file.{key}" for key, decl in file.items() if isinstance(decl, str))]


def _writer_options(options: dict[str, Any]) -> dict[str, Any]:
    """The ParquetWriter options of write_parquet: the caller's over these defaults.

    Every row has a null in most format sections, and their values rarely repeat within a row
    group, so dictionary pages there save little; with statistics on every leaf column they
    are a fifth of a row group's encoding time, which writing adds to describing. Without
    dictionaries, and with statistics only where a reader can use them to skip row groups
    (``path``, in walk order, and the ``file`` section of every file described), files are up
    to 5% larger, and pyarrow reads them faster."""
    return {"use_dictionary": False, "write_statistics": _statistics_columns(), **options}


@functools.lru_cache(maxsize=1)
def _arrow_schema_entry() -> bytes:
    """The footer's "ARROW:schema" entry for ``schema()``, as pyarrow writes it (the schema's
    Arrow IPC message in base64): readers take the Arrow types from it (the lists' items named
    "item", for one)."""
    return base64.b64encode(_schema().serialize().to_pybytes())


class _Encoder:
    """write_parquet's writer for its default options, with _Writer's put() and close(): the
    row groups encoded by vorandix itself (_batch.ParquetEncoder), the same Parquet schema,
    values and statistics as pyarrow writes with those options, in a third of the time and
    without the GIL. Each piece is written as it comes, on the caller's thread: scan's worker
    threads go on describing meanwhile, and a thread of its own would cost more in handing the
    pieces over than it saves. A row group that could not reach the sink leaves the footer
    out: the sink failed."""

    def __init__(self, sink: Any, target: "pyarrow.Schema", rows_per_group: int) -> None:
        from vorandix import __version__

        self.sink, self.target, self.rows_per_group = sink, target, rows_per_group
        self.done = False  # the sink failed, or has its footer: nothing more goes to it
        self.encoder = _batch.ParquetEncoder(
            target.__arrow_c_schema__(),
            [(b"ARROW:schema", _arrow_schema_entry())],
            f"vorandix version {__version__}",
            _statistics_columns(),
        )
        self._put(b"PAR1")

    def __enter__(self) -> "_Encoder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _put(self, data: bytes) -> None:
        try:
            self.sink.write(data)
        except BaseException:
            self.done = True
            raise

    def put(self, piece: Any) -> None:
        if not piece.schema.equals(self.target):
            raise ValueError(
                f"Table schema does not match schema used to create file:\ntable:\n"
                f"{piece.schema}\nvs.\nfile:\n{self.target}"
            )
        if hasattr(piece, "combine_chunks"):  # a Table
            batches = piece.combine_chunks().to_batches(max_chunksize=self.rows_per_group)
        else:
            starts = range(0, len(piece), self.rows_per_group)
            batches = (piece.slice(i, self.rows_per_group) for i in starts)
        for batch in batches:
            self._put(self.encoder.row_group(batch.__arrow_c_array__()[1]))

    def close(self) -> None:
        """Writes the footer, once."""
        if not self.done:
            self._put(self.encoder.footer())
            self.done = True


def write_parquet(
    records: Iterable[Any], where: Any, *, rows_per_group: int = 1024, **options: Any
) -> int:
    """Write ``records`` to the Parquet file ``where`` (a path or a binary file object) as they
    arrive, so that memory stays flat over any number of records. ``records`` are record dicts
    (one row group of ``schema()`` per ``rows_per_group`` of them) or ``pyarrow.RecordBatch``
    objects of ``schema()``, as ``scan_batches`` yields them (a row group each, split at
    ``rows_per_group`` rows). By default vorandix encodes the row groups itself as they come
    (no dictionary pages, Snappy, statistics only on ``path`` and the ``file`` section's
    columns), while ``scan_batches``' worker threads go on describing. ``options`` hand the
    writing to ``pyarrow.parquet.ParquetWriter`` (for example ``compression="zstd"``), with
    those defaults (``use_dictionary=True, write_statistics=True`` give pyarrow's own), as
    does a URI for ``where``; pyarrow's writer encodes on a thread of its own while the next
    records arrive. Returns the number of records written.
    When ``records`` raises part-way, the file is still closed with its footer and holds the
    row groups written until then."""
    if rows_per_group < 1:
        raise ValueError("rows_per_group must be at least 1")
    pa = _pyarrow("vorandix.write_parquet")
    pq = require("pyarrow.parquet", "arrow", "vorandix.write_parquet")
    count = 0
    with contextlib.ExitStack() as stack:
        sink = stack.enter_context(_buffered(pa, where))
        background: _Writer | _Encoder
        if options or not hasattr(sink, "write"):  # pyarrow's writer, for what it alone does
            writer = stack.enter_context(
                pq.ParquetWriter(sink, _schema(), **_writer_options(options))
            )
            background = _Writer(writer, rows_per_group)
        else:
            background = stack.enter_context(_Encoder(sink, _schema(), rows_per_group))
        batch: list[dict] = []

        def flush() -> None:
            nonlocal count, batch
            if batch:
                background.put(to_arrow(batch))
                count += len(batch)
                batch = []

        try:
            for record in records:
                if isinstance(record, pa.RecordBatch):
                    flush()
                    background.put(record)
                    count += record.num_rows
                    continue
                batch.append(record)
                if len(batch) == rows_per_group:
                    flush()
            flush()
        finally:
            background.close()
    return count


def _prune(value: Any, decl: Decl) -> Any:
    if isinstance(decl, dict):
        return {
            k: _prune(v, decl[k])
            for k, v in value.items()
            if v is not None or (isinstance(decl[k], tuple) and decl[k][0] == "kept")
        }
    if isinstance(decl, list) and isinstance(decl[0], dict):
        return [_prune(item, decl[0]) for item in value]
    return value


def from_arrow(data: Any) -> Iterator[dict]:
    """The records held by ``data`` (a ``pyarrow.Table`` or ``RecordBatch`` of ``schema()``, for
    example read back from Parquet), one dict per row, as ``scan`` yielded them: absent keys left
    out, maps as dicts, and ``path`` the original ``str`` (surrogate escapes restored from
    ``path_bytes``). ``from_arrow(to_arrow(records))`` gives ``records`` back. A subset of the
    columns gives records of those keys; a table with none of them, a ``path`` that is not a
    string or a key the schema does not have raises ValueError."""
    pa = _pyarrow("vorandix.from_arrow")
    # Columns outside the schema (an index a writer added) are not part of any record.
    names = [name for name in data.schema.names if name in _COLUMNS]
    path = data.schema.field("path").type if "path" in names else pa.string()
    if not names or not (pa.types.is_string(path) or pa.types.is_large_string(path)):
        # Some other table: its rows would come out as empty records, or paths not strings.
        raise ValueError(f"not a table of vorandix.schema(): columns {data.schema.names}")
    data = data.select(names)
    batches = data.to_batches() if hasattr(data, "to_batches") else [data]
    for batch in batches:
        for row in batch.to_pylist(maps_as_pydicts="strict"):
            raw = row.pop("path_bytes", None)
            try:
                record = _prune(row, _COLUMNS)
            except KeyError as exc:
                raise ValueError(f"key {exc.args[0]!r} is not in vorandix.schema()") from None
            if raw is not None:
                record["path"] = os.fsdecode(raw)
            yield record
