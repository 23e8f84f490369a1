"""Optional dependencies: imported on first use, with a message naming the extra that brings them."""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtraError(ImportError):
    """An optional package is missing; the message says which extra installs it."""


def require(module: str, extra: str = "cli") -> ModuleType:
    """Import `module`, or raise MissingExtraError naming `pip install 'tarna_mesh[<extra>]'`."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        package = module.split(".")[0]
        raise MissingExtraError(
            f"{package} is not installed; it comes with the '{extra}' extra: pip install 'tarna_mesh[{extra}]'"
        ) from error
