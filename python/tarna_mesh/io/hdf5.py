"""HDF5 datasets, through h5py: `file.h5:/path/to/dataset`, read slab by slab.

Voxel size: a `resolution` attribute of three numbers on the dataset, per array axis.
"""

from __future__ import annotations

from typing import Any

from ._extra import require
from .volume import InputError, VolumeSource, checked_voxel_size


def datasets_in(group: Any) -> list[str]:
    """Paths of every dataset below a group."""
    h5py = require("h5py")
    found: list[str] = []
    group.visititems(lambda name, item: found.append("/" + name) if isinstance(item, h5py.Dataset) else None)
    return found


def open_hdf5(path: str, inside: str | None, level: int) -> VolumeSource:
    h5py = require("h5py")
    file = h5py.File(path, "r")
    try:
        if inside is None:
            found = datasets_in(file)
            if len(found) != 1:
                listing = ", ".join(found) if found else "none"
                raise InputError(f"{path} holds {len(found)} datasets ({listing}); name one as {path}:/PATH")
            inside = found[0]
        if inside not in file:
            raise InputError(f"{path} has no dataset {inside!r} (datasets: {', '.join(datasets_in(file)) or 'none'})")
        dataset = file[inside]
        if not isinstance(dataset, h5py.Dataset):
            listing = ", ".join(datasets_in(dataset)) or "none"
            raise InputError(f"{inside!r} in {path} is a group, not a dataset (datasets in it: {listing})")
        voxel_size = source = None
        if "resolution" in dataset.attrs:
            voxel_size = checked_voxel_size(dataset.attrs["resolution"], f"the 'resolution' attribute of {inside}")
            source = "HDF5 'resolution' attribute"
    except BaseException:
        file.close()
        raise
    return VolumeSource(
        path,
        "hdf5",
        inside,
        tuple(dataset.shape),
        dataset.dtype,
        voxel_size,
        source,
        read_rows=lambda start, stop: dataset[start:stop],
        close=file.close,
        array=dataset,
    )
