"""Imports of the optional dependencies, with an error that names the extra to install."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, needed_by: str) -> ModuleType:
    """Import ``module``, or raise ImportError telling which extra of vorandix brings it.

    ``needed_by`` names the function that needs it, for the message.
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        top = module.split(".")[0]
        raise ImportError(
            f"{needed_by} needs {top}, which is not installed: pip install 'vorandix[{extra}]'"
        ) from exc
