"""Label volumes from files: where to find them, what they record, reading them slab by slab.

A source names a file and, for containers, what inside it: `labels.npy`, `cells.npz:seg`,
`stack.tif`, `data.h5:/volumes/labels`, `image.zarr:labels/cells`. `open_volume` looks at it
without reading the voxels (shape, dtype, the voxel size the file records); `VolumeSource.read`
then reads them, a few slabs along axis 0 at a time, so a caller can show progress.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

__all__ = ["InputError", "VolumeSource", "open_volume", "split_source", "format_of_source", "READERS"]

# How much to read at once when a format can read part of a volume.
READ_BYTES = 64 << 20

EXTENSIONS = {
    ".npy": "npy",
    ".npz": "npz",
    ".tif": "tiff",
    ".tiff": "tiff",
    ".h5": "hdf5",
    ".hdf5": "hdf5",
    ".hdf": "hdf5",
    ".he5": "hdf5",
    ".zarr": "zarr",
}
READERS = ("npy", "npz", "tiff", "hdf5", "zarr")


class InputError(ValueError):
    """A source that cannot be read as a label volume; the message is one line naming why."""


@dataclass
class VolumeSource:
    """An opened label volume, its voxels not read yet.

    `voxel_size` is per array axis, as `Mesher`'s `voxel_resolution`, or None when the file
    records none; `voxel_size_source` says where in the file it was found. `array`, when the
    format reads any box of the volume, is the volume itself (sliced like a NumPy array).
    """

    path: str
    format: str
    dataset: str | None
    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    voxel_size: tuple[float, float, float] | None = None
    voxel_size_source: str | None = None
    unit: str | None = None
    read_rows: Callable[[int, int], np.ndarray] | None = None
    read_all: Callable[[], np.ndarray] | None = None
    close: Callable[[], None] = field(default=lambda: None)
    # The stored volume itself where the format can read any box of it (NumPy slicing, the
    # stored dtype): what block-wise meshing reads its windows from.
    array: Any = None

    @property
    def rows_per_read(self) -> int:
        """Slabs along axis 0 per read: about READ_BYTES at a time."""
        slab = int(np.prod(self.shape[1:], dtype=np.int64)) * self.dtype.itemsize
        return max(1, READ_BYTES // max(slab, 1))

    def read_steps(self) -> int:
        """How many steps `read` reports through its progress callback."""
        if self.read_rows is None or not self.shape:
            return 1
        return -(-self.shape[0] // self.rows_per_read) or 1

    def read(self, progress: Callable[[int], None] | None = None) -> np.ndarray:
        """Every voxel, as a NumPy array of the stored dtype; `progress(1)` after each step."""
        step = progress or (lambda count: None)
        if self.read_rows is None:
            assert self.read_all is not None
            volume = np.asarray(self.read_all()).reshape(self.shape)
            step(1)
            return volume
        volume = np.empty(self.shape, dtype=self.dtype)
        rows = self.rows_per_read
        for start in range(0, self.shape[0], rows):
            stop = min(start + rows, self.shape[0])
            volume[start:stop] = self.read_rows(start, stop)
            step(1)
        if self.shape[0] == 0:
            step(1)
        return volume

    def __enter__(self) -> VolumeSource:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def one_line(error: BaseException) -> str:
    """An exception's text on one line."""
    return " ".join(str(error).split()) or type(error).__name__


def split_source(source: str) -> tuple[str, str | None]:
    """(file, what inside it) from `file` or `file:inside`.

    The file part is the longest prefix before a colon that exists; when none exists, the
    part that looks like a file name (by its extension) is reported as missing.
    """
    if os.path.exists(source):
        return source, None
    for match in re.finditer(":", source):
        head = source[: match.start()]
        if head and os.path.exists(head):
            return head, source[match.end() :] or None
    guess = re.match(r"(.*?\.(?:npy|npz|tiff?|h5|hdf5?|he5|zarr)/?)(?::.*)?$", source, re.IGNORECASE)
    missing = guess.group(1) if guess else source
    raise InputError(f"{missing}: no such file or directory")


def format_of_source(path: str) -> str:
    """The reader for a file, from its extension or, for a folder, its zarr metadata files."""
    extension = os.path.splitext(path.rstrip("/"))[1].lower()
    if extension in EXTENSIONS:
        return EXTENSIONS[extension]
    if os.path.isdir(path) and any(
        os.path.exists(os.path.join(path, name)) for name in ("zarr.json", ".zgroup", ".zarray")
    ):
        return "zarr"
    raise InputError(f"{path}: cannot tell the file format from its name; give --format-in ({', '.join(READERS)})")


def checked_voxel_size(values: Any, where: str) -> tuple[float, float, float]:
    """Three finite positive sizes, or InputError naming where they came from."""
    try:
        sizes = tuple(float(value) for value in np.asarray(values, dtype=np.float64).reshape(-1))
    except (TypeError, ValueError):
        raise InputError(f"{where} is not a list of numbers: {values!r}") from None
    if len(sizes) != 3 or not all(np.isfinite(size) and size > 0 for size in sizes):
        raise InputError(f"{where} must be three finite positive numbers, got {list(sizes)}; give --voxel-size instead")
    return sizes[0], sizes[1], sizes[2]


def open_volume(source: str, format: str | None = None, level: int = 0) -> VolumeSource:
    """Open a label volume named `source` (`file` or `file:inside`) without reading its voxels.

    `format` is one of READERS, else it follows from the file name; `level` picks the
    resolution level of an OME-Zarr multiscale image (0 is the finest). Raises InputError with
    a one-line message for anything that cannot be read.
    """
    path, inside = split_source(source)
    format = format or format_of_source(path)
    if format not in READERS:
        raise InputError(f"unknown input format {format!r}; expected one of {', '.join(READERS)}")
    if level and format != "zarr":
        raise InputError("--level applies to OME-Zarr multiscale images only")
    from . import hdf5, npy, tiff, zarr

    opener = {
        "npy": npy.open_npy,
        "npz": npy.open_npz,
        "tiff": tiff.open_tiff,
        "hdf5": hdf5.open_hdf5,
        "zarr": zarr.open_zarr,
    }[format]
    try:
        return opener(path, inside, level)
    except (InputError, ImportError):
        raise
    except Exception as error:  # the reader libraries raise many kinds for a damaged file
        raise InputError(f"{path}: cannot be read as {format}: {one_line(error)}") from error
