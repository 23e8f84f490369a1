"""Wavefront OBJ writer: `v` and (optionally) `vn` lines, then `f` lines with 1-based indices.

OBJ is text, and turning tens of millions of floats into decimal text one by one in Python is
slow (trimesh took about 60 times as long as meshing on a dense volume, see
docs/benchmarks.md). So numbers are written in fixed-point notation, built digit by digit with
NumPy integer arithmetic: a mesh's coordinates all get the same number of decimals, enough for
nine significant digits of its largest coordinate (an absolute error of at most half a unit in
that last decimal), and fields are padded with blanks, which OBJ readers skip.
"""

from __future__ import annotations

from typing import BinaryIO

import numpy as np

EXTENSION = ".obj"

SIGNIFICANT_DIGITS = 9
# Rows formatted at once: bounds the scratch memory of one write.
CHUNK_ROWS = 1 << 18

_SPACE, _MINUS, _POINT, _ZERO = (ord(c) for c in " -.0")
_POWERS = 10 ** np.arange(1, 19, dtype=np.int64)  # 10 .. 10^18


def digit_count(values: np.ndarray) -> np.ndarray:
    """Decimal digits of each non-negative integer (0 has one)."""
    return 1 + np.searchsorted(_POWERS, values, side="right")


def decimals_for(values: np.ndarray) -> int:
    """Decimals that give the largest magnitude its significant digits."""
    largest = float(np.max(np.abs(values))) if values.size else 0.0
    if not np.isfinite(largest):
        raise ValueError("OBJ output needs finite coordinates")
    whole_digits = int(digit_count(np.array([int(largest)]))[0])
    return max(0, SIGNIFICANT_DIGITS - whole_digits)


def fields(values: np.ndarray, decimals: int, zero_padded: bool = False) -> np.ndarray:
    """Each value as a blank-led, fixed-point text field: an (N, width) array of ASCII bytes.

    With `zero_padded` (non-negative integers only) the digits are padded with zeros instead of
    blanks, for numbers that must not contain a blank."""
    scaled = np.rint(values.astype(np.float64) * 10.0**decimals).astype(np.int64)
    negative = scaled < 0
    magnitude = np.abs(scaled)
    unit = np.int64(10) ** decimals
    whole, fraction = np.divmod(magnitude, unit)
    whole_digits = digit_count(whole)
    whole_width = int(whole_digits.max()) if len(whole_digits) else 1
    # blank, sign slot, whole digits, then the point and the decimals
    width = 2 + whole_width + (1 + decimals if decimals else 0)
    out = np.full((len(values), width), _SPACE, dtype=np.uint8)
    columns = np.arange(whole_width)
    powers = np.int64(10) ** (whole_width - 1 - columns)
    out[:, 2 : 2 + whole_width] = (whole[:, None] // powers) % 10 + _ZERO
    if not zero_padded:
        leading = columns[None, :] < (whole_width - whole_digits)[:, None]
        out[:, 2 : 2 + whole_width][leading] = _SPACE
    rows = np.flatnonzero(negative)
    out[rows, 1 + whole_width - whole_digits[rows]] = _MINUS
    if decimals:
        out[:, 2 + whole_width] = _POINT
        powers = np.int64(10) ** np.arange(decimals - 1, -1, -1)
        out[:, 3 + whole_width :] = (fraction[:, None] // powers) % 10 + _ZERO
    return out


def lines(keyword: bytes, columns: list[np.ndarray]) -> bytes:
    """Rows of `keyword` followed by the given field arrays, one line per row."""
    count = len(columns[0])
    head = np.frombuffer(keyword, dtype=np.uint8)
    parts = [np.broadcast_to(head, (count, len(head)))] + columns + [np.full((count, 1), ord("\n"), np.uint8)]
    return np.hstack(parts).tobytes()


def write(stream: BinaryIO, vertices: np.ndarray, faces: np.ndarray, normals: np.ndarray | None = None) -> None:
    """One mesh as OBJ; with `normals`, faces name each vertex's normal too (`f a//a ...`)."""
    stream.write(b"# written by tarna_mesh\n")
    blocks = [(b"v", vertices)] + ([(b"vn", normals)] if normals is not None else [])
    for keyword, values in blocks:
        decimals = decimals_for(values)
        for start in range(0, len(values), CHUNK_ROWS):
            chunk = values[start : start + CHUNK_ROWS]
            stream.write(lines(keyword, [fields(chunk[:, axis], decimals) for axis in range(3)]))
    for start in range(0, len(faces), CHUNK_ROWS):
        indices = faces[start : start + CHUNK_ROWS].astype(np.int64) + 1
        text = [fields(indices[:, corner], 0) for corner in range(3)]
        if normals is not None:
            # "f  2//02 12//12 ...": the normal index (the vertex index again) follows "//",
            # padded with zeros since a blank would end the token
            slashes = np.full((len(indices), 2), ord("/"), np.uint8)
            text = [
                np.hstack([field, slashes, fields(indices[:, corner], 0, zero_padded=True)[:, 2:]])
                for corner, field in enumerate(text)
            ]
        stream.write(lines(b"f", text))
