"""STL writer: binary, one 50-byte record per triangle.

STL holds a soup of triangles, each with its own three corners and a unit face normal; shared
vertices (and vertex normals) are not kept. Written with NumPy: trimesh's export was slower than
meshing for large runs (see docs/benchmarks.md).
"""

from __future__ import annotations

from typing import BinaryIO

import numpy as np

EXTENSION = ".stl"

_RECORD = np.dtype([("normal", "<f4", (3,)), ("corners", "<f4", (3, 3)), ("attributes", "<u2")])


def face_normals(vertices: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """Unit normal of every triangle (counter-clockwise corners seen from its front), zero for
    degenerate ones."""
    corners = vertices.astype(np.float64)[faces]
    cross = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    length = np.linalg.norm(cross, axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        unit = np.where(length > 0, cross / length, 0.0)
    return unit


def write(stream: BinaryIO, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> None:
    """One mesh as binary STL. Vertex normals have no place in STL and are ignored."""
    records = np.zeros(len(faces), dtype=_RECORD)
    records["normal"] = face_normals(vertices, faces)
    records["corners"] = vertices[faces]
    header = b"binary STL written by tarna_mesh".ljust(80, b" ")
    stream.write(header)
    stream.write(np.uint32(len(faces)).astype("<u4").tobytes())
    stream.write(records.tobytes())
