"""Label volumes as users hold them, made into what `Mesher.mesh` reads.

`Mesher.mesh` takes exactly a 3-D array of uint8, uint16, uint32 or uint64 in native byte
order and reads it in place. Segmentations usually come out of other tools as int32 or int64
(`scipy.ndimage.label`, `skimage.segmentation.watershed`, `skimage.measure.label`), as bool
masks, or byte-swapped from a file. `as_labels` accepts all of those without changing a single
label value, and refuses what has no safe reading as labels.
"""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["as_labels"]

_UNSIGNED = {1: np.uint8, 2: np.uint16, 4: np.uint32, 8: np.uint64}


def as_labels(volume: Any) -> np.ndarray:
    """`volume` as a 3-D array of native unsigned labels, without copying when it can.

    - unsigned integers of any width are returned as they are (byte-swapped ones are
      converted to native byte order);
    - signed integers are viewed as the unsigned type of the same width, which keeps every
      value, provided no value is negative; a negative value raises ValueError naming the
      first one in index order and where it is;
    - booleans become uint8, so a mask is the object with label 1;
    - floats, complex numbers and anything else raise TypeError naming the dtype received.

    Raises ValueError when the array is not 3-D.
    """
    array = np.asarray(volume)
    kind = array.dtype.kind
    if kind not in "uib":
        hint = " (convert whole-number values with .astype(np.uint32))" if kind == "f" else ""
        raise TypeError(f"labels must be integers or booleans (0 is background), got dtype {array.dtype}{hint}")
    if array.ndim != 3:
        raise ValueError(f"labels must be a 3-D array, got {array.ndim}-D with shape {array.shape}")
    if not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if kind == "b":
        return array.view(np.uint8)
    unsigned = _UNSIGNED[array.dtype.itemsize]
    if kind == "i" and array.size and array.min() < 0:
        first = int(np.argmax(array.reshape(-1) < 0))
        index = tuple(int(i) for i in np.unravel_index(first, array.shape))
        value = int(array[index])
        raise ValueError(f"labels must not be negative; found {value} at index {index}")
    return array.view(unsigned)
