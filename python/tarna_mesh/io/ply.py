"""PLY writer: binary little-endian, float32 positions (and normals), uint32 triangles.

Written with NumPy rather than through trimesh: for a few thousand objects trimesh's export
took longer than meshing itself (see docs/benchmarks.md). Any PLY reader loads the result.
"""

from __future__ import annotations

from typing import BinaryIO

import numpy as np

EXTENSION = ".ply"


def write(stream: BinaryIO, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> None:
    """One mesh as binary PLY; `normals` (one per vertex) are stored as nx, ny, nz."""
    properties = "property float x\nproperty float y\nproperty float z\n"
    columns = [vertices]
    if normals is not None:
        properties += "property float nx\nproperty float ny\nproperty float nz\n"
        columns.append(normals)
    header = (
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment written by tarna_mesh\n"
        f"element vertex {len(vertices)}\n"
        f"{properties}"
        f"element face {len(faces)}\n"
        "property list uchar uint vertex_indices\n"
        "end_header\n"
    )
    rows = np.hstack(columns) if len(columns) > 1 else vertices
    # faces as (count, i, j, k) rows of 13 bytes, built in one flat array and written as is
    face_rows = np.empty((len(faces), 13), dtype=np.uint8)
    face_rows[:, 0] = 3
    face_rows[:, 1:] = np.ascontiguousarray(faces, dtype="<u4").view(np.uint8).reshape(-1, 12)
    stream.write(header.encode("ascii"))
    stream.write(np.ascontiguousarray(rows, dtype="<f4").data)
    stream.write(face_rows.data)
