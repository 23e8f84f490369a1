"""PLY writer: binary little-endian, float32 positions (and normals), uint32 triangles.

Written with NumPy rather than through trimesh: for a few thousand objects trimesh's export
took longer than meshing itself (see docs/benchmarks.md). Any PLY reader loads the result.
"""

from __future__ import annotations

from typing import BinaryIO

import numpy as np

EXTENSION = ".ply"

_FACE = np.dtype([("count", "u1"), ("indices", "<u4", (3,))])


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
    rows = np.hstack(columns).astype("<f4", copy=False) if len(columns) > 1 else vertices.astype("<f4", copy=False)
    face_rows = np.empty(len(faces), dtype=_FACE)
    face_rows["count"] = 3
    face_rows["indices"] = faces
    stream.write(header.encode("ascii"))
    stream.write(np.ascontiguousarray(rows).tobytes())
    stream.write(face_rows.tobytes())
