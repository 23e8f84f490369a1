"""Surfaces of every object in a labelled 3-D volume, extracted in one pass.

Neighbouring objects share their common surface exactly. See ``Mesher`` and ``dice``.
"""

from ._tarna_mesh import Mesher, __version__, dice

__all__ = ["Mesher", "dice", "__version__"]
