"""Metadata extraction for any file type.

A package around the ``_vorandix`` extension module::

    >>> import vorandix
    >>> info = vorandix.parse("photo.jpg")
    >>> info["file"]["mime_detected"]
    'image/jpeg'

``parse(path)`` reads a file by path and ``parse_bytes(data)`` reads a ``bytes`` object; both
return a plain ``dict`` with one section per recognised format and an ``errors`` list when a
format reader failed. For collections, ``scan(inputs)`` walks files and folders and yields one
record per file, describing several files at once; ``parse_file(fileobj)`` describes any binary
file object with ``read`` and ``seek``.

``schema()``, ``to_arrow(records)`` and ``from_arrow(table)`` turn records into Arrow tables and
back, and ``scan_batches(inputs)`` scans straight into Arrow record batches
(``pip install 'vorandix[arrow]'``; see ``vorandix.arrow``). ``vorandix.dask.scan(inputs)``
describes a collection on a Dask cluster (``pip install 'vorandix[dask]'``).
``help(vorandix.report)`` lists every section's keys.
"""

from __future__ import annotations

import os

import _vorandix
from _vorandix import __version__

from vorandix import _batch
from vorandix._scan import ERROR_KINDS, MAX_JOBS, scan

# Read by type checkers only: importing typing would cost `import vorandix` more than the
# extension module itself.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Union

    from vorandix.report import Report

__all__ = [
    "parse",
    "parse_bytes",
    "parse_file",
    "scan",
    "ERROR_KINDS",
    "MAX_JOBS",
    "schema",
    "to_arrow",
    "from_arrow",
    "scan_batches",
    "__version__",
]


# Loaded on first use, so that the command and scan start without them.
_LAZY = {
    "schema": "vorandix.arrow",
    "to_arrow": "vorandix.arrow",
    "from_arrow": "vorandix.arrow",
    "scan_batches": "vorandix.arrow",
    "dask": "vorandix.dask",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorandix' has no attribute {name!r}")
    import importlib

    loaded = importlib.import_module(module)
    value = loaded if name == "dask" else getattr(loaded, name)
    globals()[name] = value
    return value


_parse = _vorandix.parse
_parse_bytes = _vorandix.parse_bytes


def parse(path: str | os.PathLike[str]) -> Report:
    """Parse a file by path and return its metadata as a dict.

    ``path`` is a ``str`` or an ``os.PathLike``. Raises ``OSError`` ("{path}: {system text}
    (os error {code})") only when the file cannot be opened or examined; a broken format is
    reported inside the result, under "errors".

    The result has a "file" section (size, sniffed type, entropy, SHA-256, CRC-32, name,
    extension and times) and one section per format found: jpeg, png, gif, bmp, exif, riff,
    mp4, id3, elf, pdf, zip, gzip; "errors" lists {"extractor", "message"} records. Keys come
    in byte order. ``help(vorandix.report)`` lists every section's keys and their types.
    """
    return _parse(path)


def parse_bytes(data: bytes) -> Report:
    """Parse an in-memory buffer and return its metadata as a dict.

    ``data`` must be ``bytes`` (not ``bytearray`` or ``memoryview``); it is read in place and
    nothing in it makes the call raise. The result is as for ``parse``, without the "file"
    keys that only a path gives (name, extension_claimed, modified_unix, created_unix).
    ``help(vorandix.report)`` lists every section's keys and their types.
    """
    return _parse_bytes(data)


def parse_file(
    fileobj: BinaryIO,
    *,
    name: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None] = None,
    hash: bool = True,
) -> Report:
    """Describe a binary file object: an open file, ``io.BytesIO``, an fsspec file.

    The object needs ``read`` (``readinto`` is used when present) and ``seek``. Headers are read
    by seeking and bounded reads, the digests in one streamed pass; the object's position is put
    back afterwards. The result equals ``parse_bytes`` of the same content, plus the file section's
    ``name`` and ``extension_claimed`` when `name` is given. ``hash=False`` leaves out the
    whole-file pass as in ``scan``.

    A read that fails with ``OSError`` or ``ValueError`` is reported inside the result like any
    failing read. Other exceptions (``KeyboardInterrupt``, a text-mode file's ``TypeError``)
    propagate, as do failures to seek to the end or back at the start, without which the object
    cannot be described.
    """
    return _batch.parse_file(fileobj, name, bool(hash))
