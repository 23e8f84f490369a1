"""Type stubs of the native module; the docstrings are those of the compiled functions."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__version__: str

_Vertices = npt.NDArray[np.float32]
_Faces = npt.NDArray[np.uint32]

@final
class Mesher:
    """Extracts every object's surface from a labelled volume in a single pass."""

    def __new__(
        cls,
        voxel_resolution: Sequence[SupportsFloat] = ...,
        axis_order: str = "XYZ",
        y_down: bool = False,
        relaxation: SupportsIndex = 0,
        max_deviation: SupportsFloat = 0.5,
        relaxation_step: SupportsFloat = 0.5,
        taubin: SupportsIndex = 0,
        taubin_pass_band: SupportsFloat = 0.1,
        taubin_lambda: SupportsFloat = 0.63,
        fairing: SupportsIndex = 0,
        fairing_step: SupportsFloat = 0.5,
        fairing_junction_rule: bool = True,
        fairing_taubin: bool = False,
        fairing_pass_band: SupportsFloat = 0.1,
        fairing_lambda: SupportsFloat = 0.63,
        threads: SupportsIndex = 0,
    ) -> Mesher: ...
    def mesh(
        self,
        labels: npt.NDArray[np.unsignedinteger],
        close: bool = False,
        owned_shape: Sequence[SupportsIndex] | None = None,
    ) -> None:
        """Mesh a 3-D array of unsigned integer labels.

        With `close`, the volume is treated as if surrounded by background, so
        objects reaching the array edge come back sealed. This costs nothing:
        the border is virtual, not a padded copy of the input.
        """
    def ids(self) -> npt.NDArray[np.uint64]:
        """Label ids present in the volume, ascending. Background (0) is excluded."""
    def contains(self, label: SupportsIndex) -> bool:
        """Whether a label is present."""
    def erase(self, label: SupportsIndex) -> bool:
        """Drop one object's surface, freeing its memory."""
    def clear(self) -> None:
        """Drop every stored surface."""
    def get(
        self,
        label: SupportsIndex,
        normals: bool = False,
        reduction_factor: SupportsIndex = 0,
        max_error: SupportsFloat | None = None,
    ) -> tuple[_Vertices, _Faces, _Vertices | None] | None:
        """Arrays for one object, or `None` if the label is absent.

        `reduction_factor` asks for that many times fewer faces;
        `max_error` caps how far simplification may move any vertex.
        """
    @property
    def effective_threads(self) -> int:
        """Threads actually used: the configured count, or every core when 0."""
    def __len__(self) -> int: ...

def dice(
    vertices: _Vertices,
    faces: _Faces,
    chunk_shape: Sequence[SupportsFloat],
    grid_origin: Sequence[SupportsFloat],
    grid_size: Sequence[SupportsIndex],
    quantization_bits: SupportsIndex | None = None,
) -> dict[tuple[int, int, int], tuple[_Vertices, _Faces]]:
    """Cut a mesh into the cells of a regular grid.

    Returns `{(i, j, k): (vertices, faces)}` for the cells that hold anything.
    Every triangle lands in exactly one cell, wholly inside it, and two cells
    that meet agree on the geometry between them bit for bit; docs/dicing.md
    in the source repository explains why that needs no tolerance.

    With `quantization_bits`, vertices come back on the octree format's integer
    lattice instead of in the mesh's own coordinates.
    """

def _measure(
    vertices: _Vertices, faces: _Faces, /
) -> tuple[float, float, tuple[float, float, float], tuple[float, float, float]]:
    """A triangle mesh's total area, the volume it encloses if closed and wound outwards, and
    its bounding box: (area, volume, low, high)."""
