"""TIFF stacks, through tifffile: the first image series, pages along array axis 0.

Voxel size: the XResolution and YResolution tags give the size along the last two array axes
(pixels per unit, inverted); ImageJ's `spacing` gives it along axis 0, with ImageJ's `unit`.
Tags left at tifffile's and most writers' default (1 pixel per unit, no unit, no ImageJ
metadata) count as no voxel size.
"""

from __future__ import annotations

from typing import Any

from ._extra import require
from .volume import VolumeSource, checked_voxel_size

RESOLUTION_UNITS = {2: "inch", 3: "cm"}


def resolution_size(tag: Any) -> float | None:
    """Pixel size from a resolution tag's (numerator, denominator) pixels per unit."""
    if tag is None:
        return None
    numerator, denominator = tag.value
    return denominator / numerator if numerator else None


def open_tiff(path: str, inside: str | None, level: int) -> VolumeSource:
    tifffile = require("tifffile")
    if inside is not None:
        raise ValueError(f"a TIFF file has no named datasets; drop ':{inside}'")
    tif = tifffile.TiffFile(path)
    try:
        series = tif.series[0]
        shape = tuple(series.shape)
        # singleton axes (a one-channel ImageJ hyperstack, say) do not count
        squeezed = tuple(extent for extent in shape if extent != 1) if len(shape) > 3 else shape
        page = series.keyframe
        imagej = tif.imagej_metadata or {}
        x = resolution_size(page.tags.get("XResolution"))
        y = resolution_size(page.tags.get("YResolution"))
        unit_tag = page.tags.get("ResolutionUnit")
        unit_code = int(unit_tag.value) if unit_tag is not None else 1
        spacing = imagej.get("spacing")
        tagged = x is not None and y is not None and (x, y) != (1.0, 1.0) or unit_code != 1 or "unit" in imagej
        voxel_size = source = unit = None
        if len(squeezed) == 3 and (tagged or spacing is not None):
            parts = []
            if tagged:
                parts.append("TIFF resolution tags")
            if spacing is not None:
                parts.append("ImageJ spacing")
            voxel_size = checked_voxel_size(
                [spacing if spacing is not None else 1.0, y or 1.0, x or 1.0], f"the voxel size in {path}"
            )
            source = " and ".join(parts) + ("" if spacing is not None else " (no spacing along axis 0: 1)")
            unit = imagej.get("unit") or RESOLUTION_UNITS.get(unit_code)
    except BaseException:
        tif.close()
        raise
    return VolumeSource(
        path,
        "tiff",
        None,
        squeezed,
        series.dtype,
        voxel_size,
        source,
        unit,
        read_all=lambda: series.asarray(),
        close=tif.close,
    )
