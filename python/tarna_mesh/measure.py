"""Measures of one triangle mesh, as the command's summary reports them."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np


class Measures(NamedTuple):
    surface_area: float
    enclosed_volume: float  # meaningful only when closed
    closed: bool
    low: tuple[float, float, float]  # bounding box corners
    high: tuple[float, float, float]


def triangle_cross(vertices: np.ndarray, faces: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each triangle's first corner and (p1 - p0) x (p2 - p0), relative to the first vertex.

    Float32, as the vertices are: taken about a point of the mesh itself the products stay
    small, so sums in float64 lose nothing that matters (a relative 1e-7 at worst)."""
    local = vertices - vertices[0] if len(vertices) else vertices
    p0, p1, p2 = local[faces[:, 0]], local[faces[:, 1]], local[faces[:, 2]]
    e1, e2 = p1 - p0, p2 - p0
    cross = np.empty_like(p0)
    cross[:, 0] = e1[:, 1] * e2[:, 2] - e1[:, 2] * e2[:, 1]
    cross[:, 1] = e1[:, 2] * e2[:, 0] - e1[:, 0] * e2[:, 2]
    cross[:, 2] = e1[:, 0] * e2[:, 1] - e1[:, 1] * e2[:, 0]
    return p0, cross


def surface_area(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Total area of the triangles."""
    _, cross = triangle_cross(vertices, faces)
    return float(np.sqrt(np.einsum("ij,ij->i", cross, cross)).sum(dtype=np.float64) / 2)


def enclosed_volume(vertices: np.ndarray, faces: np.ndarray) -> float:
    """Volume enclosed by a closed surface wound counter-clockwise seen from outside (the
    divergence theorem over its triangles); meaningless for an open surface."""
    p0, cross = triangle_cross(vertices, faces)
    return float(np.einsum("ij,ij->i", p0, cross).sum(dtype=np.float64) / 6)


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
    p0, cross = triangle_cross(vertices, faces)
    area = float(np.sqrt(np.einsum("ij,ij->i", cross, cross)).sum(dtype=np.float64) / 2)
    volume = float(np.einsum("ij,ij->i", p0, cross).sum(dtype=np.float64) / 6)
    low = tuple(float(column.min()) for column in vertices.T)
    high = tuple(float(column.max()) for column in vertices.T)
    return Measures(area, volume, is_closed(faces) if closed is None else closed, low, high)  # type: ignore[arg-type]
