"""Surfaces of every object in a labelled 3-D volume, extracted in one pass.

Neighbouring objects share their common surface exactly. See ``Mesher`` and ``dice``;
``as_labels`` turns signed, boolean or byte-swapped arrays into labels ``Mesher.mesh`` reads,
and ``tarna_mesh.io`` writes mesh files (PLY, OBJ, STL, GLB).
"""

from ._tarna_mesh import Mesher, __version__, dice
from .labels import as_labels

__all__ = ["Mesher", "as_labels", "dice", "__version__"]
