"""Mesh files out, segmentation files in.

Writers (`write_mesh`, `write_objects`, `open_writer`) put meshes into PLY, OBJ, STL or GLB,
always through a temporary name renamed once the file is complete, so an interrupted run never
leaves a truncated file under a final name. PLY, OBJ and STL are written with NumPy alone; GLB
and the converters `to_trimesh` and `to_pyvista` need those packages (`pip install
'tarna_mesh[cli]'` brings trimesh). `open_volume` reads a label volume from NumPy, TIFF, HDF5
or zarr files, with the voxel size the file records.

One module per format: `ply`, `obj`, `stl`, `glb` write meshes; `npy`, `tiff`, `hdf5`, `zarr`
read volumes.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, cast

import numpy as np

from . import glb, obj, ply, stl
from ._extra import MissingExtraError, require
from .volume import InputError, VolumeSource, open_volume

if TYPE_CHECKING:
    from .._tarna_mesh import Mesher

__all__ = [
    "FORMATS",
    "InputError",
    "MissingExtraError",
    "VolumeSource",
    "atomic_file",
    "object_name",
    "open_volume",
    "open_writer",
    "to_pyvista",
    "to_trimesh",
    "write_mesh",
    "write_objects",
]

FORMATS = {"ply": ply, "obj": obj, "stl": stl, "glb": glb}


def format_of(path: str | os.PathLike[str]) -> str:
    """The mesh format named by a path's extension."""
    extension = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    if extension not in FORMATS:
        raise ValueError(
            f"unknown mesh format {extension!r} in {os.fspath(path)!r}; expected one of {', '.join(FORMATS)}"
        )
    return extension


def object_name(label: int) -> str:
    """The name of an object's file (without extension) or scene node."""
    return f"object_{label}"


@contextlib.contextmanager
def atomic_file(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary stream that becomes `path` only when the block ends without an exception.

    The data goes to a hidden temporary file in the same folder, renamed over `path` at the
    end (an atomic replace on POSIX); on failure the temporary file is removed.
    """
    path = os.fspath(path)
    folder, name = os.path.split(path)
    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder or ".")
    try:
        with os.fdopen(handle, "wb") as stream:
            yield stream
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_mesh(
    path: str | os.PathLike[str],
    vertices: np.ndarray,
    faces: np.ndarray,
    normals: np.ndarray | None = None,
    format: str | None = None,
) -> None:
    """Write one mesh (as `Mesher.get` returns it) to `path`, in the format its extension
    names unless `format` is given."""
    writer = FORMATS[format or format_of(path)]
    with atomic_file(path) as stream:
        writer.write(stream, vertices, faces, normals)


class Chunks:
    """A write-only stream that keeps what is written, unjoined, for writing to a file later."""

    def __init__(self) -> None:
        self.parts: list[Any] = []

    def write(self, data: Any) -> int:
        self.parts.append(data)
        return len(memoryview(data).cast("B"))


class FolderWriter:
    """One file per object, `object_<label>.<format>`, in an existing folder."""

    def __init__(self, folder: str | os.PathLike[str], format: str = "ply") -> None:
        if format not in FORMATS:
            raise ValueError(f"unknown mesh format {format!r}; expected one of {', '.join(FORMATS)}")
        self.folder = os.fspath(folder)
        self.format = format

    def add(self, label: int, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> str:
        """Write one object; returns its file name."""
        return self.put(*self.encode(label, vertices, faces, normals))

    def encode(
        self, label: int, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None
    ) -> tuple[str, list[Any]]:
        """One object's file name and contents, as the buffers `put` writes in order: the
        costly half of `add`, which needs no file."""
        chunks = Chunks()
        FORMATS[self.format].write(cast(BinaryIO, chunks), vertices, faces, normals)
        return object_name(label) + FORMATS[self.format].EXTENSION, chunks.parts

    def put(self, name: str, parts: list[Any]) -> str:
        """Write what `encode` made under `name`; returns `name`.

        As `atomic_file` does, through a hidden temporary name renamed at the end, but in four
        system calls (open, writev, close, rename): this runs beside threads that hold the
        interpreter lock, and every call gives the lock up and waits to take it back."""
        path = os.path.join(self.folder, name)
        temporary = os.path.join(self.folder, f".{name}.{os.getpid()}.{threading.get_ident()}.partial")
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC
        handle = os.open(temporary, flags, 0o666)
        try:
            try:
                views = [memoryview(part).cast("B") for part in parts]
                while views:
                    written = os.writev(handle, views)
                    while views and written >= len(views[0]):
                        written -= len(views.pop(0))
                    if views:
                        views[0] = views[0][written:]
            finally:
                os.close(handle)
            os.replace(temporary, path)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise
        return name

    def commit(self) -> None:
        """Nothing is pending: every file was complete when `add` returned."""


class SceneWriter:
    """Every object as a named node (`object_<label>`) of one GLB scene, written by `commit`."""

    def __init__(self, path: str | os.PathLike[str], normals: bool = False) -> None:
        self.path = os.fspath(path)
        self.normals = normals
        self._scene = glb.Scene()

    def add(self, label: int, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> str:
        """Add one object; returns its node name."""
        name = object_name(label)
        self._scene.add(name, vertices, faces, normals)
        return name

    def commit(self) -> None:
        with atomic_file(self.path) as stream:
            self._scene.write(stream, self.normals)


def open_writer(
    destination: str | os.PathLike[str], format: str = "ply", normals: bool = False
) -> FolderWriter | SceneWriter:
    """A scene writer when `destination` ends in .glb, else a writer into the folder `destination`."""
    if os.fspath(destination).lower().endswith(".glb"):
        return SceneWriter(destination, normals)
    return FolderWriter(destination, format)


def write_objects(
    mesher: Mesher,
    destination: str | os.PathLike[str],
    format: str = "ply",
    labels: Iterable[int] | None = None,
    normals: bool = False,
    reduction_factor: int = 0,
    max_error: float | None = None,
) -> dict[int, str]:
    """Write every object stored in `mesher` (or those of `labels` it holds) and return
    {label: file or node name}.

    `destination` is a folder, created if missing, that gets one file per object in `format`,
    or a path ending in .glb that gets one scene. `normals`, `reduction_factor` and
    `max_error` are passed to `Mesher.get`.
    """
    if not os.fspath(destination).lower().endswith(".glb"):
        os.makedirs(destination, exist_ok=True)
    writer = open_writer(destination, format, normals)
    chosen = mesher.ids().tolist() if labels is None else [int(label) for label in labels]
    written = {}
    for label in chosen:
        arrays = mesher.get(label, normals=normals, reduction_factor=reduction_factor, max_error=max_error)
        if arrays is not None:
            written[label] = writer.add(label, *arrays)
    writer.commit()
    return written


def to_trimesh(vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> Any:
    """A `trimesh.Trimesh` of one mesh, made with `process=False`.

    Where two separate sheets of one object's surface touch at a vertex or along an edge
    (voxels of one label that meet only diagonally), `Mesher.get` gives each sheet its own
    copy of the vertex, so every surface is manifold. trimesh's default processing merges
    vertices at equal positions, which glues those sheets together again: the merged mesh has
    edges shared by four triangles and no longer counts as watertight. `process=False` keeps
    the vertices as they are.
    """
    trimesh = require("trimesh")
    return trimesh.Trimesh(vertices=vertices, faces=faces, vertex_normals=normals, process=False)


def to_pyvista(vertices: np.ndarray, faces: np.ndarray) -> Any:
    """A `pyvista.PolyData` of one mesh (pyvista keeps every vertex as given)."""
    pyvista = require("pyvista", extra="pyvista")
    cells = np.empty((len(faces), 4), dtype=np.int64)
    cells[:, 0] = 3
    cells[:, 1:] = faces
    return pyvista.PolyData(np.asarray(vertices), cells.reshape(-1))
