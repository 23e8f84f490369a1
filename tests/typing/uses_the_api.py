"""Checked with mypy --strict against the installed stubs; never run."""

import numpy as np
import numpy.typing as npt
from tarna_mesh import Mesher, as_labels, dice
from tarna_mesh.io import to_trimesh, write_mesh


def mesh_one(volume: npt.NDArray[np.int32]) -> int:
    mesher = Mesher(voxel_resolution=(4.0, 4.0, 40.0), axis_order="ZYX", relaxation=2, threads=0)
    mesher.mesh(as_labels(volume), close=True, owned_shape=(8, 8, 8))
    total = 0
    for label in mesher.ids().tolist():
        arrays = mesher.get(label, normals=True, reduction_factor=2, max_error=None)
        if arrays is None:
            continue
        vertices, faces, normals = arrays
        assert normals is not None
        write_mesh(f"object_{label}.ply", vertices, faces, normals)
        chunks = dice(vertices, faces, (64.0, 64.0, 64.0), (0.0, 0.0, 0.0), (8, 8, 8), quantization_bits=10)
        total += sum(len(piece_faces) for _, piece_faces in chunks.values()) + len(to_trimesh(vertices, faces).faces)
    return total + mesher.effective_threads + len(mesher)
