"""NumPy files: `.npy` (read through a memory map, slab by slab) and `.npz` (`file.npz:key`)."""

from __future__ import annotations

import numpy as np

from .volume import InputError, VolumeSource


def open_npy(path: str, inside: str | None, level: int) -> VolumeSource:
    if inside is not None:
        raise InputError(f"{path} holds a single array; drop ':{inside}'")
    array = np.load(path, mmap_mode="r", allow_pickle=False)
    return VolumeSource(
        path,
        "npy",
        None,
        array.shape,
        array.dtype,
        read_rows=lambda start, stop: np.asarray(array[start:stop]),
        array=array,
    )


def open_npz(path: str, inside: str | None, level: int) -> VolumeSource:
    archive = np.load(path, allow_pickle=False)
    keys = list(archive.keys())
    if inside is None:
        if len(keys) != 1:
            archive.close()
            raise InputError(f"{path} holds {len(keys)} arrays ({', '.join(keys)}); name one as {path}:KEY")
        inside = keys[0]
    if inside not in keys:
        archive.close()
        raise InputError(f"{path} has no array {inside!r} (arrays: {', '.join(keys)})")
    array = archive[inside]
    return VolumeSource(path, "npz", inside, array.shape, array.dtype, read_all=lambda: array, close=archive.close)
