"""Metadata extraction for any file type.

A thin package around the ``_vorandix`` extension module::

    >>> import vorandix
    >>> info = vorandix.parse("photo.jpg")
    >>> info["file"]["mime_detected"]
    'image/jpeg'

``parse(path)`` reads a file by path and ``parse_bytes(data)`` reads a ``bytes`` object; both
return a plain ``dict`` with one section per recognised format and an ``errors`` list when a
format reader failed. ``help(vorandix.report)`` lists every section's keys.
"""

from __future__ import annotations

import os

import _vorandix
from _vorandix import __version__

# Read by type checkers only: importing typing would cost `import vorandix` more than the
# extension module itself.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from vorandix.report import Report

__all__ = ["parse", "parse_bytes", "__version__"]

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
