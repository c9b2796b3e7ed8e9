"""Metadata extraction for any file type.

A thin package around the ``_vorandix`` extension module::

    >>> import vorandix
    >>> info = vorandix.parse("photo.jpg")
    >>> info["file"]["mime_detected"]
    'image/jpeg'

``parse(path)`` reads a file by path and ``parse_bytes(data)`` reads a ``bytes`` object; both
return a plain ``dict`` with one section per recognised format and an ``errors`` list when a
format reader failed.

``schema()``, ``to_arrow(records)`` and ``from_arrow(table)`` turn records into Arrow tables and
back (``pip install 'vorandix[arrow]'``; see ``vorandix.arrow``).
"""

from _vorandix import __version__, parse, parse_bytes

from vorandix.arrow import from_arrow, schema, to_arrow

__all__ = ["parse", "parse_bytes", "schema", "to_arrow", "from_arrow", "__version__"]
