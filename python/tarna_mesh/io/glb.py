"""glTF binary (GLB) writer, through trimesh: one scene, one named node per object.

glTF keeps float32 positions and uint32 indices exactly, so a scene reads back bit for bit.
"""

from __future__ import annotations

from typing import Any, BinaryIO

import numpy as np

from ._extra import require

EXTENSION = ".glb"


class Scene:
    """Collects meshes as nodes `object_<label>`, then writes them as one GLB."""

    def __init__(self) -> None:
        trimesh = require("trimesh")
        self._scene: Any = trimesh.Scene()

    def add(self, name: str, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> None:
        from . import to_trimesh

        self._scene.add_geometry(to_trimesh(vertices, faces, normals), node_name=name, geom_name=name)

    def write(self, stream: BinaryIO, normals: bool) -> None:
        from trimesh.exchange.gltf import export_glb

        stream.write(export_glb(self._scene, include_normals=normals))


def write(stream: BinaryIO, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> None:
    """One mesh as a GLB scene with a single node."""
    scene = Scene()
    scene.add("mesh", vertices, faces, normals)
    scene.write(stream, normals is not None)
