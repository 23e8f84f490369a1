"""zarr arrays and groups, v2 or v3 (`store.zarr:path`), read slab by slab.

An OME-Zarr multiscale image (a group whose attributes hold `multiscales`, directly in format
0.4 or under `ome` in 0.5) is read at resolution level `level` (0 is the finest). Its voxel
size is the product of the level's `scale` transformations and the image's own, taken on the
axes of type `space`; other axes (time, channel) must have extent 1 and are dropped.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ._extra import require
from .volume import InputError, VolumeSource, checked_voxel_size


def attributes(node: Any) -> dict[str, Any]:
    return dict(node.attrs.asdict() if hasattr(node.attrs, "asdict") else node.attrs)


def multiscales_of(node: Any) -> list[dict[str, Any]] | None:
    attrs = attributes(node)
    found = attrs.get("multiscales") or attrs.get("ome", {}).get("multiscales")
    return found if isinstance(found, list) and found else None


def scale_of(transforms: list[dict[str, Any]] | None, rank: int) -> np.ndarray:
    scale = np.ones(rank)
    for transform in transforms or []:
        if transform.get("type") == "scale":
            scale = scale * np.asarray(transform["scale"], dtype=np.float64)
    return scale


def spatial_axes(axes: list[Any] | None, rank: int) -> list[int]:
    """Indices of the space axes, from OME `axes` (dicts or, in older files, letters)."""
    if not axes:
        return list(range(rank))
    names = [axis if isinstance(axis, str) else axis.get("name", "") for axis in axes]
    kinds = [None if isinstance(axis, str) else axis.get("type") for axis in axes]
    return [
        index
        for index, (name, kind) in enumerate(zip(names, kinds))
        if kind == "space" or (kind is None and name.lower() in ("x", "y", "z"))
    ]


def open_zarr(path: str, inside: str | None, level: int) -> VolumeSource:
    zarr = require("zarr")
    root = zarr.open(store=path, mode="r")
    node = root
    if inside:
        if not isinstance(root, zarr.Group):
            raise InputError(f"{path} is a single array; drop ':{inside}'")
        key = inside.strip("/")
        if key not in root:
            raise InputError(
                f"{path} has no array or group {inside!r} (members: {', '.join(sorted(root.keys())) or 'none'})"
            )
        node = root[key]
    where = f"{path}:{inside}" if inside else path
    voxel_size = source = unit = None
    if isinstance(node, zarr.Group):
        multiscales = multiscales_of(node)
        if multiscales is None:
            members = ", ".join(sorted(node.keys())) or "none"
            raise InputError(
                f"{where} is a zarr group, not an image; name an array in it as {path}:PATH (members: {members})"
            )
        image = multiscales[0]
        levels = image["datasets"]
        if not 0 <= level < len(levels):
            raise InputError(
                f"{where} has resolution levels 0 to {len(levels) - 1}; --level {level} is not one of them"
            )
        array = node[levels[level]["path"]]
        rank = len(array.shape)
        scale = scale_of(levels[level].get("coordinateTransformations"), rank) * scale_of(
            image.get("coordinateTransformations"), rank
        )
        keep = spatial_axes(image.get("axes"), rank)
        for axis in range(rank):
            if axis not in keep and array.shape[axis] != 1:
                raise InputError(
                    f"{where} has a non-spatial axis {axis} of extent {array.shape[axis]}; "
                    "only one label volume can be meshed"
                )
        if len(keep) == 3:
            voxel_size = checked_voxel_size(scale[keep], f"the OME-Zarr scale of {where}")
            source = f"OME-Zarr scale (level {level})"
            units = {
                axis.get("unit")
                for index, axis in enumerate(image.get("axes") or [])
                if index in keep and isinstance(axis, dict)
            }
            unit = units.pop() if len(units) == 1 else None
        dataset = f"{inside or ''}/{levels[level]['path']}".lstrip("/")
    else:
        array = node
        rank = len(array.shape)
        keep = list(range(rank))
        dataset = inside
    shape = tuple(array.shape[axis] for axis in keep)
    picks = tuple(slice(None) if axis in keep else 0 for axis in range(rank))
    first = keep[0] if keep else 0

    def read_rows(start: int, stop: int) -> np.ndarray:
        index = list(picks)
        index[first] = slice(start, stop)
        return np.asarray(array[tuple(index)])

    box = array if len(keep) == rank else Spatial(array, picks, keep)
    return VolumeSource(
        path,
        "zarr",
        dataset,
        shape,
        np.dtype(array.dtype),
        voxel_size,
        source,
        unit,
        read_rows=read_rows if keep else None,
        read_all=lambda: np.asarray(array[...]),
        array=box if len(keep) == 3 else None,
    )


class Spatial:
    """The space axes of an image whose other axes have extent 1, sliced like a 3-D array."""

    def __init__(self, array: Any, picks: tuple[Any, ...], keep: list[int]) -> None:
        self.array, self.picks, self.keep = array, picks, keep
        self.shape = tuple(array.shape[axis] for axis in keep)
        self.dtype = np.dtype(array.dtype)

    def __getitem__(self, box: tuple[slice, ...]) -> np.ndarray:
        index = list(self.picks)
        for axis, part in zip(self.keep, box):
            index[axis] = part
        return np.asarray(self.array[tuple(index)])
