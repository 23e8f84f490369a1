"""Measures of one triangle mesh, as the command's summary reports them."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from ._tarna_mesh import _measure


class Measures(NamedTuple):
    surface_area: float
    enclosed_volume: float  # meaningful only when closed
    closed: bool
    low: tuple[float, float, float]  # bounding box corners
    high: tuple[float, float, float]


def area_and_volume(vertices: np.ndarray, faces: np.ndarray) -> tuple[float, float]:
    """Total area of the triangles, and the volume a closed surface wound counter-clockwise seen
    from outside encloses (the divergence theorem; meaningless for an open surface)."""
    area, volume, _, _ = _measure(*as_mesh(vertices, faces))
    return area, volume


def as_mesh(vertices: np.ndarray, faces: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return np.asarray(vertices, np.float32).reshape(-1, 3), np.asarray(faces, np.uint32).reshape(-1, 3)


def surface_area(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Total area of the triangles."""
    return area_and_volume(vertices, faces)[0]


def enclosed_volume(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Volume enclosed by a closed surface wound counter-clockwise seen from outside."""
    return area_and_volume(vertices, faces)[1]


def is_closed(faces: np.ndarray) -> bool:
    """Whether every edge is walked exactly once in each direction: no hole, no edge shared by
    more than two triangles, the same winding throughout."""
    if len(faces) == 0:
        return False
    span = np.uint64(int(faces.max()) + 1)
    faces = faces.astype(np.uint64)
    starts = faces.reshape(-1)
    ends = faces[:, [1, 2, 0]].reshape(-1)
    directed = np.sort(starts * span + ends)
    if np.any(directed[1:] == directed[:-1]):
        return False
    return bool(np.array_equal(directed, np.sort(ends * span + starts)))


def measure(vertices: np.ndarray, faces: np.ndarray, closed: bool | None = None) -> Measures:
    """Area, enclosed volume and bounding box of one mesh, in its own units; `closed` is
    measured with `is_closed` unless the caller knows it."""
    if len(faces) == 0:
        return Measures(0.0, 0.0, False, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    # one pass in native code: a dozen array operations per mesh cost more than writing it out
    area, volume, low, high = _measure(*as_mesh(vertices, faces))
    return Measures(area, volume, is_closed(faces) if closed is None else closed, low, high)


def object_record(
    label: int, name: str, vertices: np.ndarray, faces: np.ndarray, closed: bool | None = None
) -> dict[str, Any]:
    """One object's entry in the command's summary; `closed` as for `measure`."""
    measures = measure(vertices, faces, closed)
    return {
        "label": label,
        "file": name,
        "vertices": len(vertices),
        "faces": len(faces),
        "surface_area": measures.surface_area,
        "enclosed_volume": measures.enclosed_volume if measures.closed else None,
        "closed": measures.closed,
        "bounding_box": {"min": list(measures.low), "max": list(measures.high)},
    }
