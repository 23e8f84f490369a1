"""`python -m tarna_mesh`: the same command as `tarna-mesh`."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from .cli import main as command_main


def main(argv: Sequence[str] | None = None) -> int:
    return command_main(argv, prog="python -m tarna_mesh")


if __name__ == "__main__":
    sys.exit(main())
