# Types of the extension module. The sections live in vorandix.report, which the package's own
# functions share, so both modules describe results with the same classes.
from os import PathLike
from typing import Final

from vorandix.report import Report

__version__: Final[str]
__all__ = ["__doc__", "parse", "parse_bytes", "__version__"]

def parse(path: str | PathLike[str]) -> Report:
    """Parse a file by path and return its metadata as a dict."""

def parse_bytes(data: bytes) -> Report:
    """Parse an in-memory buffer and return its metadata as a dict."""
