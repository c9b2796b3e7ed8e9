"""Metadata extraction for any file type.

A thin package around the ``_vorandix`` extension module::

    >>> import vorandix
    >>> info = vorandix.parse("photo.jpg")
    >>> info["file"]["mime_detected"]
    'image/jpeg'

``parse(path)`` reads a file by path and ``parse_bytes(data)`` reads a ``bytes`` object; both
return a plain ``dict`` with one section per recognised format and an ``errors`` list when a
format reader failed.
"""

from _vorandix import __version__, parse, parse_bytes

__all__ = ["parse", "parse_bytes", "__version__"]
