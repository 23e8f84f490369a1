"""Meshing volumes larger than memory, block by block on Dask, with exact seams.

`mesh_blockwise` cuts the cell grid of a label volume into blocks, meshes each block on its own
with `Mesher.mesh(window, owned_shape=block)`, and joins the pieces of every object into one
mesh, with the positions and triangles of meshing the whole volume in one call.

Blocks and their windows. A cell is the cube between eight neighbouring voxel centres, named by
its lowest voxel; without `close` the grid has `extent - 1` cells per axis, cell c spanning
voxels c and c + 1; with `close` it has `extent + 1`, cell c spanning voxels c - 1 and c (the
outermost ones reading background outside the volume). A face is kept by the block that owns
the lowest of the four cells around it, and `mesh()` needs all four cells, which reach one cell
further along two axes: a block owning cells [a, a + B) on an axis reads voxels
[a - close, a + B + 2 - close) there, clipped to the volume (and, with `close`, padded with one
layer of background where it reaches past the volume's sides). Each block is meshed without
`close`, so its own cell c is the volume's cell a + c.

Seams. Vertices live in cells. A block's pieces use cells [a, a + B], and the cells its faces
share with another block are those of its first layer (when a block lies before it) and of its
last one, cell a + B (when a block follows): the seam layers. A vertex in a seam layer may have
triangles in up to eight blocks; every other vertex has all of its triangles in one block. In
a cell, an object has one vertex per separate patch of its surface there, all at the cell's one
position, so the join keys a seam vertex by its exact position and its patch number, found from
the label volume and the edge its triangle crosses, never by position alone. `Mesher.get`
splits a vertex where separate sheets of one object touch at it; a block sees only part of a
seam vertex's triangles, so the join gives such vertices back their whole fan and splits them
again by the same rule: triangles around the vertex belong together when they share an edge
that exactly two of them use. `get` splits vertices one after another in the order it numbers
them, and where two sheets cross along an edge whose ends both need splitting, which end goes
first can decide whether a vertex gets one more copy; the join splits seam vertices in the
scanning order of their cells, which is `get`'s order nearly always. Where the orders differ
(seen only with blocks of a voxel or two, on volumes of random labels) an object has one copy
of a vertex more or fewer than the whole volume's, over the same triangles, and is still
closed and manifold where the whole volume's is.

Positions. A block hands back its vertices in fixed point (1/256 voxel, exact integers) with the
block's integer offset; the joined mesh adds the offset in 64-bit integers and maps to output
coordinates in 64-bit floats exactly as `Mesher.get` does, mirroring with the whole volume's
extent, so the float32 results are bit for bit those of meshing the volume whole, however far
from the origin.

Smoothing and simplification run per block. Every block pins the vertices of its outermost cell
layer while smoothing (the rule `mesh()` applies with `owned_shape`) and, when simplifying,
cannot collapse the edges of its cut-open rim; so seam vertices keep their extracted positions
in every block and the pieces still fit exactly. What differs from meshing the volume whole:
vertices of the seam layers do not move, so the smoothed surface has a band around every block
seam where it is smoothed as if those vertices were held; with `close`, the vertices next to the
volume's sides are held too (the whole-volume pass lets them move). Simplification reduces each
block's piece to about 1/K of its triangles and never touches the seam rims, so the triangles
along block seams stay as extracted; a piece whose simplification would pull together two
copies of a seam vertex (copies `get` made because their fans meet only in other blocks) is
kept unsimplified, since joining them would pinch the surface there.
"""

from __future__ import annotations

import itertools
import os
import tempfile
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

from ._tarna_mesh import Mesher
from .io._extra import require

__all__ = ["mesh_blockwise", "default_block_shape", "Piece"]

# Blocks default to the store's chunks, grown to at least this many cells per axis so that the
# two-voxel overlap and the per-block overhead stay small next to the block's own work.
MIN_BLOCK_EDGE = 128
# A block's positions travel as float32 of its fixed point; they read back exactly below 2^23
# units (32768 voxels).
MAX_BLOCK_EDGE = 32000

# ---------------------------------------------------------------------------------------------
# Cell tables: corners, edges and the patches an object's corner set makes in one cell

# Corner k of a cell sits at offset (k & 1, (k >> 1) & 1, (k >> 2) & 1).
CORNER_OFFSETS = np.array([[k & 1, (k >> 1) & 1, (k >> 2) & 1] for k in range(8)], dtype=np.int64)
EDGE_CORNERS = ((0, 1), (0, 2), (0, 4), (1, 3), (1, 5), (2, 3), (2, 6), (3, 7), (4, 5), (4, 6), (5, 7), (6, 7))
# The edge that leaves corner c along axis k.
CORNER_EDGES = np.array(
    [[EDGE_CORNERS.index(tuple(sorted((c, c ^ (1 << k))))) for k in range(3)] for c in range(8)], dtype=np.int64
)
# Each cube face as its corner cycle.
FACE_CYCLES = ((0, 2, 6, 4), (1, 3, 7, 5), (0, 1, 5, 4), (2, 3, 7, 6), (0, 1, 3, 2), (4, 5, 7, 6))


def make_patch_tables() -> tuple[np.ndarray, np.ndarray]:
    """(PATCH, AMBIGUOUS): PATCH[s, e] is the patch of edge e for the corner set s (bit k for
    corner k), 255 where e is not crossed; AMBIGUOUS[s] whether some face of s alternates.

    An edge is crossed when one end is in s. On each face two crossed edges are linked; a face
    with four (the diagonal case) links, at each of its two corners in s, the two edges meeting
    there, so the set's diagonal corners are cut off apart. Patches are the linked groups,
    numbered in the order of their lowest edge."""
    patch = np.full((256, 12), 255, dtype=np.uint8)
    ambiguous = np.zeros(256, dtype=bool)
    for s in range(256):
        inside = [(s >> c) & 1 for c in range(8)]
        crossed = [inside[a] != inside[b] for a, b in EDGE_CORNERS]
        parent = list(range(12))

        def find(e: int) -> int:
            while parent[e] != e:
                e = parent[e]
            return e

        for cycle in FACE_CYCLES:
            sides = [EDGE_CORNERS.index(tuple(sorted((cycle[j], cycle[(j + 1) % 4])))) for j in range(4)]
            cut = [e for e in sides if crossed[e]]
            if len(cut) == 2:
                parent[find(cut[0])] = find(cut[1])
            elif len(cut) == 4:
                ambiguous[s] = True
                for j, corner in enumerate(cycle):
                    if inside[corner]:  # the two face edges meeting at this corner
                        parent[find(sides[j - 1])] = find(sides[j])
        numbers: dict[int, int] = {}
        for e in range(12):
            if crossed[e]:
                patch[s, e] = numbers.setdefault(find(e), len(numbers))
    return patch, ambiguous


PATCH, AMBIGUOUS = make_patch_tables()


# ---------------------------------------------------------------------------------------------
# Block layout


@dataclass(frozen=True)
class Layout:
    """How a volume of `shape` is cut into blocks owning `block` cells per axis."""

    shape: tuple[int, int, int]
    block: tuple[int, int, int]
    close: bool

    @property
    def cells(self) -> tuple[int, int, int]:
        """The whole volume's cell grid."""
        c = int(self.close)
        return tuple(max(0, extent + 2 * c - 1) for extent in self.shape)  # type: ignore[return-value]

    def starts(self) -> list[tuple[int, int, int]]:
        """First owned cell of every block, in scanning order (axis 0 innermost)."""
        ranges = [range(0, cells, edge) for cells, edge in zip(self.cells, self.block)]
        return [(a, b, c) for c, b, a in itertools.product(*ranges[::-1])]

    def window(self, start: Sequence[int]) -> tuple[tuple[int, ...], tuple[int, ...]]:
        """Voxels [low, high) per axis a block starting at cell `start` reads; with `close` they
        reach one voxel past the volume's sides, which read as background."""
        c = int(self.close)
        low = tuple(s - c for s in start)
        high = tuple(min(s + b + 2 - c, extent + c) for s, b, extent in zip(start, self.block, self.shape))
        return low, high

    def seams(self, start: Sequence[int]) -> tuple[np.ndarray, np.ndarray]:
        """Per axis: whether the block's first cell layer is shared with a block before it, and
        whether its layer `block` is shared with one after it."""
        lower = np.array([s > 0 for s in start])
        upper = np.array([s + b < n for s, b, n in zip(start, self.block, self.cells)])
        return lower, upper


def default_block_shape(volume: Any, minimum: int = MIN_BLOCK_EDGE) -> tuple[int, int, int]:
    """The store's chunk shape, each edge grown to a multiple of itself of at least `minimum`
    (or the volume's extent); `minimum` per axis when the volume is not chunked."""
    chunks = getattr(volume, "chunksize", None) or getattr(volume, "chunks", None)
    if not chunks or len(chunks) != 3 or not all(isinstance(c, (int, np.integer)) for c in chunks):
        chunks = (minimum,) * 3
    shape = []
    for chunk, extent in zip(chunks, volume.shape):
        chunk = max(1, int(chunk))
        edge = chunk * max(1, -(-minimum // chunk))
        shape.append(max(1, min(edge, int(extent), MAX_BLOCK_EDGE)))
    return shape[0], shape[1], shape[2]


# ---------------------------------------------------------------------------------------------
# One block


class Piece(NamedTuple):
    """One object's surface from one block, in the block's own fixed point.

    `fixed`: vertex positions in 1/256 voxel from the block's first voxel `offset` (int64 voxel
    index); exact for every vertex unless `moved` is given (simplified pieces), then only for
    seam vertices. `moved`: positions in output units from `offset` (float32), for pieces whose
    vertices simplification has moved. `patch`: the patch number of each seam vertex, -1 for
    vertices no other block shares. `fan`: the seam vertex lies where the object's corners
    alternate on a cell face, so the join must split its fans again."""

    offset: np.ndarray
    fixed: np.ndarray
    moved: np.ndarray | None
    faces: np.ndarray
    patch: np.ndarray
    fan: np.ndarray


def inside(low: Sequence[int], high: Sequence[int], shape: Sequence[int]) -> tuple[slice, ...]:
    """The part of the voxel box [low, high) that lies in a volume of `shape`."""
    return tuple(slice(max(lo, 0), min(hi, extent)) for lo, hi, extent in zip(low, high, shape))


def padded(data: Any, low: Sequence[int], high: Sequence[int], shape: Sequence[int]) -> np.ndarray:
    """The voxel box [low, high) as labels, from its part `data` inside the volume; background
    outside."""
    from .labels import as_labels

    data = as_labels(np.asarray(data))
    pad = [(max(lo, 0) - lo, hi - min(hi, extent)) for lo, hi, extent in zip(low, high, shape)]
    if any(before or after for before, after in pad):
        data = np.pad(data, pad)
    return np.ascontiguousarray(data)


def read_window(volume: Any, low: Sequence[int], high: Sequence[int]) -> np.ndarray:
    """Voxels [low, high) of `volume` as labels, background where they lie outside it."""
    return padded(volume[inside(low, high, volume.shape)], low, high, volume.shape)


def block_quads(window: np.ndarray, owned: Sequence[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The edges whose faces `mesh(window, owned_shape=owned)` keeps, in the order each object's
    faces come out: (labels, lowest voxel of each edge (M, 3), axis of each edge), sorted by
    label, then by the scanning order of the edge's lowest voxel, then by axis.

    An edge from voxel p to p + e_i makes one face for each non-zero label at its ends when
    they differ, when the four cells around it exist and the lowest of them,
    p - e_w - e_v, is owned."""
    shape = window.shape
    labels, corners, axes = [], [], []
    for axis in range(3):
        w, v = (axis + 1) % 3, (axis + 2) % 3
        low = [0, 0, 0]
        high = [0, 0, 0]
        low[axis], high[axis] = 0, min(shape[axis] - 2, owned[axis] - 1) + 1
        for other in (w, v):
            low[other], high[other] = 1, min(shape[other] - 2, owned[other]) + 1
        if any(hi <= lo for lo, hi in zip(low, high)):
            continue
        here = tuple(slice(lo, hi) for lo, hi in zip(low, high))
        step = tuple(slice(lo + (k == axis), hi + (k == axis)) for k, (lo, hi) in enumerate(zip(low, high)))
        a, b = window[here], window[step]
        where = np.nonzero(a != b)
        p = np.stack(where, axis=1) + np.array(low)
        for ends in (a[where], b[where]):
            keep = ends != 0
            labels.append(ends[keep].astype(np.uint64))
            corners.append(p[keep])
            axes.append(np.full(int(keep.sum()), axis, dtype=np.int64))
    if not labels:
        return np.zeros(0, np.uint64), np.zeros((0, 3), np.int64), np.zeros(0, np.int64)
    label = np.concatenate(labels)
    corner = np.concatenate(corners)
    axis_of = np.concatenate(axes)
    cells = np.array(shape) - 1
    linear = corner[:, 0] + cells[0] * (corner[:, 1] + cells[1] * corner[:, 2])
    order = np.lexsort((axis_of, linear, label))
    return label[order], corner[order], axis_of[order]


def crossed_edges(cells: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The edge a face crosses, from the cells (M, 3, 3) of three corners of one of its
    triangles: the four cells around an edge along axis i share their coordinate on i and span
    two on each other axis, where the edge lies at the higher one. Returns (lowest voxel of the
    edge, axis)."""
    same = np.all(cells == cells[:, :1, :], axis=1)
    axis = np.argmax(same, axis=1)
    return cells.max(axis=1), axis


def seam_patches(
    window: np.ndarray, label: int, cell: np.ndarray, corner: np.ndarray, axis: np.ndarray, strict: bool
) -> tuple[np.ndarray, np.ndarray]:
    """(patch, fan) of vertices in cells `cell` (M, 3), each known by one edge of its object's
    faces: the edge from voxel `corner` along `axis`. Patch -1 where the edge is not an edge of
    the cell; that is an error when `strict` (positions straight from extraction)."""
    step = corner - cell
    valid = np.all((step == 0) | (step == 1), axis=1) & (np.take_along_axis(step, axis[:, None], 1)[:, 0] == 0)
    if strict and not valid.all():
        raise RuntimeError("block join: a vertex's triangle does not cross an edge of its cell")
    step = np.where(valid[:, None], step, 0)
    edge = CORNER_EDGES[step[:, 0] + 2 * step[:, 1] + 4 * step[:, 2], axis]
    at = cell[:, None, :] + CORNER_OFFSETS[None, :, :]
    corners_in = window[at[..., 0], at[..., 1], at[..., 2]] == window.dtype.type(label)
    sets = (corners_in.astype(np.int64) << np.arange(8)).sum(axis=1)
    patch = PATCH[sets, edge].astype(np.int16)
    if strict and np.any(patch == 255):
        raise RuntimeError("block join: a seam vertex's edge is not crossed by its object")
    patch = np.where(valid & (patch != 255), patch, -1).astype(np.int8)
    return patch, AMBIGUOUS[sets] & (patch >= 0)


def rim_correspondence(
    u_vertices: np.ndarray, u_faces: np.ndarray, r_vertices: np.ndarray, r_faces: np.ndarray
) -> np.ndarray:
    """For a piece `r` that simplification made from `u`: the vertex of `u` each vertex of `r`
    is, for the vertices on `u`'s open or non-manifold edges (-1 for the others).

    Those vertices are locked, so they keep their positions; a face with two of them never
    dies, keeps them in place and keeps its place in the face order. So the faces of `r` with
    two corners at such positions are, in order, the faces of `u` with two such corners."""
    edges = np.sort(np.concatenate([u_faces[:, [0, 1]], u_faces[:, [1, 2]], u_faces[:, [2, 0]]]), axis=1)
    pairs, counts = np.unique(edges, axis=0, return_counts=True)
    rim = np.zeros(len(u_vertices), dtype=bool)
    rim[pairs[counts != 2].reshape(-1)] = True
    result = np.full(len(r_vertices), -1, dtype=np.int64)
    if not rim.any():
        return result
    u_two = np.count_nonzero(rim[u_faces], axis=1) >= 2
    rows = np.concatenate([u_vertices, r_vertices]).view(np.dtype((np.void, 12))).reshape(-1)
    _, place = np.unique(rows, return_inverse=True)
    u_place, r_place = place[: len(u_vertices)], place[len(u_vertices) :]
    rim_places = np.zeros(place.max() + 1, dtype=bool)
    rim_places[u_place[rim]] = True
    r_rim = rim_places[r_place]
    r_two = np.count_nonzero(r_rim[r_faces], axis=1) >= 2
    kept_u, kept_r = u_faces[u_two], r_faces[r_two]
    if len(kept_u) == len(kept_r):
        slots = rim[kept_u]
        if np.array_equal(u_place[kept_u][slots], r_place[kept_r][slots]):
            result[kept_r[slots]] = kept_u[slots]
            if np.array_equal(result[kept_r[slots]], kept_u[slots]):
                return result
            result[:] = -1
    # note: a vertex the simplifier moved onto a rim position confuses the count; walk the
    # faces instead, matching each kept face of `u` with the next face of `r` that fits it
    r_index = 0
    for face in kept_u:
        slots = rim[face]
        while r_index < len(r_faces):
            candidate = r_faces[r_index]
            r_index += 1
            if np.array_equal(u_place[face[slots]], r_place[candidate[slots]]):
                result[candidate[slots]] = face[slots]
                break
    return result


def glues_copies(faces: np.ndarray, fixed: np.ndarray, patch: np.ndarray) -> bool:
    """Whether a simplified piece joins two copies of one seam vertex through a common
    neighbour. `get` splits a seam vertex whose fans meet only in other blocks; simplifying the
    piece treats the copies as unrelated and may pull their fans together, which the join,
    making them one vertex again, would turn into a pinch. Such a piece is kept unsimplified."""
    shared = np.flatnonzero(patch >= 0)
    if len(shared) < 2:
        return False
    keys = np.concatenate([fixed[shared].astype(np.int64), patch[shared, None].astype(np.int64)], axis=1)
    _, key_of, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
    key_of = key_of.reshape(-1)
    copied = counts[key_of] > 1
    if not copied.any():
        return False
    key = np.full(len(patch), -1, dtype=np.int64)
    key[shared[copied]] = key_of[copied]
    edges = np.concatenate([faces[:, [0, 1]], faces[:, [1, 2]], faces[:, [2, 0]]]).astype(np.int64)
    edges = np.concatenate([edges, edges[:, ::-1]])
    edges = edges[key[edges[:, 0]] >= 0]
    # (neighbour, key) pairs reached from distinct copies
    triples = np.unique(np.stack([edges[:, 1], key[edges[:, 0]], edges[:, 0]], axis=1), axis=0)
    pairs = triples[:, :2]
    return bool(np.any(np.all(pairs[1:] == pairs[:-1], axis=1)))


def mesh_block(
    volume: Any,
    start: tuple[int, int, int],
    layout: Layout,
    settings: dict[str, Any],
    reduction_factor: int,
    max_error: float | None,
    wanted: Any,
    read: bool = False,
) -> list[tuple[int, Piece]]:
    """Mesh one block and return (label, piece) for every object with triangles in it; `volume`
    is the whole volume, or with `read` the part of the block's window inside it."""
    low, high = layout.window(start)
    window = padded(volume, low, high, layout.shape) if read else read_window(volume, low, high)
    if min(window.shape) < 2:
        return []
    resolution = np.asarray(settings.get("voxel_resolution", (1.0, 1.0, 1.0)), dtype=np.float64)
    mesher = Mesher(**{**settings, "axis_order": "XYZ", "y_down": False})
    mesher.mesh(window, owned_shape=layout.block)
    smoothed = any(settings.get(name, 0) for name in ("relaxation", "taubin", "fairing"))
    lower, upper = layout.seams(start)
    offset = np.array(low, dtype=np.int64)
    quads: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None
    pieces = []
    for label in mesher.ids().tolist():
        if wanted is not None and not (wanted(label) if callable(wanted) else label in wanted):
            continue
        got = mesher.get(label)
        assert got is not None
        vertices, faces, _ = got
        if len(faces) == 0:
            continue
        # positions come out as float32(p / 256 * resolution); well inside 2^23 units the
        # quotient rounds back to the integer p
        fixed = np.rint(vertices.astype(np.float64) / resolution * 256.0).astype(np.int32)
        cell = fixed.astype(np.int64) >> 8
        seam = np.any((lower & (cell == 0)) | (upper & (cell == np.array(layout.block))), axis=1)
        patch = np.full(len(fixed), -1, dtype=np.int8)
        fan = np.zeros(len(fixed), dtype=bool)
        if seam.any():
            # one triangle per vertex, and the edge its face crosses
            triangle = np.empty(len(fixed), dtype=np.int64)
            triangle[faces.reshape(-1)] = np.arange(faces.size) // 3
            if smoothed:
                if quads is None:
                    quads = block_quads(window, layout.block)
                quad_labels, quad_corners, quad_axes = quads
                first, last = (
                    np.searchsorted(quad_labels, np.uint64(label), side="left"),
                    np.searchsorted(quad_labels, np.uint64(label), side="right"),
                )
                if 2 * (last - first) != len(faces):
                    raise RuntimeError(
                        f"block join: object {label} has {len(faces)} triangles, "
                        f"expected {2 * (last - first)} from its block's edges"
                    )
                # triangles 2q and 2q + 1 come from the face of edge q
                quad = first + triangle[seam] // 2
                corner, axis = quad_corners[quad], quad_axes[quad]
            else:
                corner, axis = crossed_edges(cell[faces[triangle[seam]]])
            patch[seam], fan[seam] = seam_patches(window, label, cell[seam], corner, axis, strict=not smoothed)
        moved = None
        if reduction_factor >= 2:
            reduced = mesher.get(label, reduction_factor=reduction_factor, max_error=max_error)
            assert reduced is not None
            r_vertices, r_faces, _ = reduced
            same = rim_correspondence(vertices, faces, r_vertices, r_faces)
            shared = same >= 0
            r_patch = np.full(len(r_vertices), -1, dtype=np.int8)
            r_patch[shared] = patch[same[shared]]
            r_fan = np.zeros(len(r_vertices), dtype=bool)
            r_fan[shared] = fan[same[shared]]
            r_fixed = np.zeros((len(r_vertices), 3), dtype=np.int32)
            r_fixed[shared] = fixed[same[shared]]
            if not glues_copies(r_faces, r_fixed, r_patch):
                fixed, faces, patch, fan, moved = r_fixed, r_faces, r_patch, r_fan, r_vertices
        pieces.append((label, Piece(offset, fixed, moved, faces, patch, fan)))
    return pieces


# ---------------------------------------------------------------------------------------------
# Joining one object's pieces


@dataclass(frozen=True)
class Frame:
    """Output coordinates: what `Mesher.get` applies to stored positions."""

    shape: tuple[int, int, int]
    resolution: tuple[float, float, float]
    axes: tuple[int, int, int]  # output component of each array axis
    flips: tuple[bool, bool, bool]

    @classmethod
    def of(cls, shape: Sequence[int], settings: dict[str, Any]) -> Frame:
        order = str(settings.get("axis_order", "XYZ")).upper()
        axes = tuple("XYZ".index(letter) for letter in order)
        y_down = bool(settings.get("y_down", False))
        resolution = tuple(float(r) for r in settings.get("voxel_resolution", (1.0, 1.0, 1.0)))
        return cls(tuple(int(s) for s in shape), resolution, axes, tuple(y_down and a == 1 for a in axes))  # type: ignore[arg-type]

    @property
    def odd(self) -> bool:
        a = self.axes
        return bool((a[0] > a[1]) ^ (a[1] > a[2]) ^ (a[0] > a[2]) ^ self.flips[0] ^ self.flips[1] ^ self.flips[2])

    def from_fixed(self, fixed: np.ndarray) -> np.ndarray:
        """Array-axis fixed point (int64) to output float64, one rounding per step as `get` does."""
        out = np.empty(fixed.shape, dtype=np.float64)
        for k in range(3):
            c = fixed[:, k].astype(np.float64) * 0.00390625
            if self.flips[k]:
                c = (float(self.shape[k]) - 1.0) - c
            out[:, self.axes[k]] = c * self.resolution[k]
        return out

    def from_scaled(self, scaled: np.ndarray) -> np.ndarray:
        """Array-axis positions already in output units (float64) to output float64."""
        out = np.empty(scaled.shape, dtype=np.float64)
        for k in range(3):
            c = scaled[:, k]
            if self.flips[k]:
                c = (float(self.shape[k]) - 1.0) * self.resolution[k] - c
            out[:, self.axes[k]] = c
        return out


def split_fans(faces: np.ndarray, targets: np.ndarray, priority: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Give each fan of every target vertex its own vertex, as `Mesher.get` does: triangles
    around a vertex belong to one fan when linked through edges that exactly two of them use.

    Returns the faces with split corners renumbered, and for each new vertex (numbered after
    the existing ones) the vertex it copies.

    Splitting one vertex changes the edge counts its neighbours see: where two sheets cross
    along an edge of four triangles, the first end split leaves two edges of two. So vertices
    are split one after another in the order of `priority` (distinct per target), as `get`
    splits them in the order it numbers them; each round splits the targets with no unsplit
    target neighbour of lower priority, which gives the same result in few passes."""
    vertex_count = len(targets)
    copies = [np.zeros(0, dtype=np.int64)]
    remaining = targets.copy()
    while remaining.any():
        at = remaining[faces]
        both = np.concatenate(
            [
                faces[:, [0, 1]][at[:, 0] & at[:, 1]],
                faces[:, [1, 2]][at[:, 1] & at[:, 2]],
                faces[:, [2, 0]][at[:, 2] & at[:, 0]],
            ]
        ).astype(np.int64)
        lower, higher = np.where((priority[both[:, 0]] < priority[both[:, 1]])[:, None], both, both[:, ::-1]).T
        chosen = remaining.copy()
        chosen[higher] = False  # waits for its neighbour of lower priority
        faces, more = split_chosen(faces, chosen, vertex_count + sum(len(c) for c in copies))
        copies.append(more)
        remaining &= ~chosen
        if len(more):
            remaining = np.concatenate([remaining, np.zeros(len(more), dtype=bool)])
            priority = np.concatenate([priority, np.zeros(len(more), dtype=priority.dtype)])
    return faces, np.concatenate(copies)


def split_chosen(faces: np.ndarray, chosen: np.ndarray, vertex_count: int) -> tuple[np.ndarray, np.ndarray]:
    """One round of `split_fans` over vertices no two of which share an edge."""
    face_index, slot = np.nonzero(chosen[faces])
    if len(face_index) == 0:
        return faces, np.zeros(0, dtype=np.int64)
    centre = faces[face_index, slot].astype(np.int64)
    corner = np.arange(len(centre))
    ends = np.concatenate([faces[face_index, (slot + 1) % 3], faces[face_index, (slot + 2) % 3]]).astype(np.int64)
    centres = np.concatenate([centre, centre])
    corners = np.concatenate([corner, corner])
    order = np.lexsort((corners, ends, centres))
    pair_key = centres[order] * (int(faces.max()) + 1) + ends[order]
    starts = np.flatnonzero(np.r_[True, pair_key[1:] != pair_key[:-1]])
    sizes = np.diff(np.r_[starts, len(pair_key)])
    pairs = starts[sizes == 2]
    a, b = corners[order][pairs], corners[order][pairs + 1]
    group = corner.copy()
    while True:  # smallest corner of each fan, by propagation along the links
        low = np.minimum(group[a], group[b])
        before = group.copy()
        np.minimum.at(group, a, low)
        np.minimum.at(group, b, low)
        group = group[group]
        if np.array_equal(group, before):
            break
    # per vertex, the fan holding its first triangle keeps it; every other fan gets a copy
    by_vertex = np.lexsort((group, centre))
    vertex_of, fan_of = centre[by_vertex], group[by_vertex]
    vertex_start = np.r_[True, vertex_of[1:] != vertex_of[:-1]]
    new_fan = np.r_[False, fan_of[1:] != fan_of[:-1]] & ~vertex_start
    copies = vertex_of[new_fan]
    fans_so_far = np.cumsum(new_fan)
    run_start = np.maximum.accumulate(np.where(vertex_start, np.arange(len(by_vertex)), 0))
    later_fan = fans_so_far > fans_so_far[run_start]
    new_id = np.where(later_fan, vertex_count + fans_so_far - 1, vertex_of)
    faces = faces.copy()
    faces[face_index[by_vertex], slot[by_vertex]] = new_id
    return faces, copies


def vertex_normals(vertices: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """Unit normals from area-weighted face normals, as `Mesher.get(normals=True)` gives them."""
    p = vertices.astype(np.float64)[faces]
    n = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    corners = faces.reshape(-1)
    sums = np.stack([np.bincount(corners, np.repeat(n[:, k], 3), minlength=len(vertices)) for k in range(3)], axis=1)
    length = np.sqrt((sums * sums).sum(axis=1))
    good = length > 0
    out = np.zeros_like(sums)
    out[good] = sums[good] / length[good, None]
    return out.astype(np.float32)


def join_pieces(
    pieces: Sequence[Piece], frame: Frame, normals: bool = False
) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """One object's mesh from its pieces: seam vertices joined by position and patch, their
    fans split again; returns (vertices float32, faces uint32, normals or None) as `get` does.
    The order of the pieces does not matter: they are taken in the scanning order of their
    blocks, so vertex and face numbering is the same whatever order the blocks finished in."""
    pieces = sorted(pieces, key=lambda piece: tuple(piece.offset[::-1].tolist()))
    counts = np.array([len(p.fixed) for p in pieces])
    bases = np.r_[0, np.cumsum(counts)]
    fixed = np.concatenate([p.fixed.astype(np.int64) + (p.offset * 256)[None, :] for p in pieces])
    patch = np.concatenate([p.patch for p in pieces])
    fan = np.concatenate([p.fan for p in pieces])
    shared = patch >= 0
    keys = np.concatenate([fixed[shared], patch[shared, None].astype(np.int64)], axis=1)
    unique_keys, joined = np.unique(keys, axis=0, return_inverse=True)
    joined = joined.reshape(-1)
    shared_count = len(unique_keys)
    new_index = np.empty(len(fixed), dtype=np.int64)
    new_index[shared] = joined
    new_index[~shared] = shared_count + np.arange(np.count_nonzero(~shared))
    vertex_count = shared_count + np.count_nonzero(~shared)

    position = np.empty((vertex_count, 3), dtype=np.float64)
    first_of = np.empty(shared_count, dtype=np.int64)
    first_of[joined[::-1]] = np.flatnonzero(shared)[::-1]
    position[:shared_count] = frame.from_fixed(fixed[first_of])
    rest = np.flatnonzero(~shared)
    if any(p.moved is not None for p in pieces):
        scaled = np.concatenate(
            [
                (
                    p.moved.astype(np.float64)
                    if p.moved is not None
                    else p.fixed.astype(np.float64) * 0.00390625 * np.array(frame.resolution)
                )
                + p.offset * np.array(frame.resolution)
                for p in pieces
            ]
        )
        position[shared_count:] = frame.from_scaled(scaled[rest])
    else:
        position[shared_count:] = frame.from_fixed(fixed[rest])
    vertices = position.astype(np.float32)

    faces = np.concatenate([new_index[p.faces.astype(np.int64) + base] for p, base in zip(pieces, bases)])
    targets = np.zeros(vertex_count, dtype=bool)
    targets[joined[fan[shared]]] = True
    # `get` numbers vertices about in the scanning order of their cells (axis 2 outermost) and
    # splits them in that order; the order matters only between neighbours
    priority = np.zeros(vertex_count, dtype=np.int64)
    priority[np.lexsort((unique_keys[:, 3], unique_keys[:, 0], unique_keys[:, 1], unique_keys[:, 2]))] = np.arange(
        shared_count
    )
    faces, copies = split_fans(faces, targets, priority)
    if len(copies):
        vertices = np.concatenate([vertices, vertices[copies]])
    if np.any((faces[:, 0] == faces[:, 1]) | (faces[:, 1] == faces[:, 2]) | (faces[:, 0] == faces[:, 2])):
        raise RuntimeError("block join: a triangle lost a corner when its pieces were joined")
    if frame.odd:
        faces = faces[:, [0, 2, 1]]
    faces = faces.astype(np.uint32)
    return vertices, faces, vertex_normals(vertices, faces) if normals else None


# ---------------------------------------------------------------------------------------------
# The Dask driver


def join_group(
    label: int, pieces: Sequence[Piece], frame: Frame, normals: bool, folder: str | None, format: str
) -> Any:
    """Join one object; with `folder`, write it there and return its record, else return
    (label, (vertices, faces, normals))."""
    vertices, faces, vertex_normals_ = join_pieces(pieces, frame, normals)
    if folder is None:
        return label, (vertices, faces, vertex_normals_)
    from .io import FolderWriter
    from .measure import object_record

    name = FolderWriter(folder, format).add(label, vertices, faces, vertex_normals_)
    return object_record(label, name, vertices, faces)


def join_items(
    items: Iterable[tuple[int, Piece]], frame: Frame, normals: bool, folder: str | None, format: str
) -> list[Any]:
    """`join_group` for every object among (label, piece) items, in label order."""
    by_label: dict[int, list[Piece]] = {}
    for label, piece in items:
        by_label.setdefault(label, []).append(piece)
    return [join_group(label, by_label[label], frame, normals, folder, format) for label in sorted(by_label)]


def part_of(label: int, parts: int) -> int:
    """The join partition of a label: a multiplicative hash, so runs of labels spread out."""
    return (((label * 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF) >> 16) % parts


@dataclass(frozen=True)
class Spill:
    """Pieces on their way from blocks to joins, in a scratch folder: one file per join
    partition, appended to by every block (partd, which locks each file while it writes).
    Nothing is synced to disk; the folder lives only as long as the run."""

    folder: str
    parts: int

    def store(self, pieces: list[tuple[int, Piece]]) -> int:
        import partd

        groups: dict[int, list[tuple[int, Piece]]] = {}
        for item in pieces:
            groups.setdefault(part_of(item[0], self.parts), []).append(item)
        if groups:
            partd.Python(partd.File(self.folder)).append(groups, fsync=False)
        return len(pieces)

    def join(
        self, part: int, stored: Sequence[int], frame: Frame, normals: bool, folder: str | None, format: str
    ) -> list[Any]:
        import partd

        del stored  # the blocks' counts: here only to run this after every block
        items = partd.Python(partd.File(self.folder)).get(part, lock=False)
        return join_items(items, frame, normals, folder, format)


def _label_of(item: tuple[int, Piece]) -> int:
    return item[0]


def _all_stored(*counts: int) -> list[int]:
    return list(counts)


def mesh_blockwise(
    volume: Any,
    output: str | os.PathLike[str] | None = None,
    *,
    block_shape: Sequence[int] | None = None,
    close: bool = False,
    labels: Iterable[int] | Callable[[int], bool] | None = None,
    normals: bool = False,
    reduction_factor: int = 0,
    max_error: float | None = None,
    format: str = "ply",
    client: Any = None,
    scheduler: str | None = None,
    shuffle: str = "disk",
    scratch: str | os.PathLike[str] | None = None,
    progress: bool | Callable[[], Any] = False,
    **settings: Any,
) -> dict[int, tuple[np.ndarray, np.ndarray, np.ndarray | None]] | list[dict[str, Any]]:
    """Mesh a label volume block by block on Dask: the result of `Mesher(**settings)` meshing
    the whole volume and `get` reading every object, without ever holding the whole volume.

    `volume` is a dask array, a zarr array, an h5py dataset, a NumPy array or anything with
    `.shape`, `.dtype` and NumPy slicing, holding unsigned (or non-negative signed) labels.
    `block_shape` is the number of cells each block owns per axis; by default the store's
    chunks, grown to at least 128 (`default_block_shape`). `settings` are `Mesher`'s keywords
    (`voxel_resolution`, `axis_order`, `y_down`, smoothing; `threads` is per block and defaults
    to 1, since Dask runs blocks in parallel). `normals`, `reduction_factor` and `max_error`
    are `get`'s. `labels` (label numbers, or a test of a label) limits the result to those
    objects; every object is still meshed where it touches them.

    Without `output`, returns {label: (vertices, faces, normals or None)} for every object with
    triangles, in label order. With `output` (an existing or new folder), writes one file per
    object (`object_<label>.<format>`) from the workers and returns one record per object:
    label, file, vertices, faces, surface_area, enclosed_volume (None unless closed), closed,
    bounding_box; the driver then holds the records only.

    Runs on Dask's threaded scheduler, or `scheduler` ("threads", "processes", "sync"), or
    on the `dask.distributed` `client` given. Pieces of one object meet after a shuffle by
    label: with `shuffle="disk"` (the default) every block appends its pieces to files in a
    temporary folder under `scratch` (the system's temporary folder by default; on a cluster
    of several machines, a folder they all see), one file per group of labels that one task
    then joins, so no process holds more than a block's and a group's worth of surfaces; with
    `shuffle="tasks"`, Dask's in-memory shuffle, for clusters without a shared folder.
    `progress=True` shows Dask's progress bar (or, with a client, `distributed.progress`).
    """
    dask: Any = require("dask", extra="dask")
    db: Any = require("dask.bag", extra="dask")

    settings.setdefault("threads", 1)
    Mesher(**settings)  # settings are checked here, with the native messages, before any task runs
    if len(volume.shape) != 3:
        raise ValueError(f"volume must be 3-D, got shape {tuple(volume.shape)}")
    if shuffle not in ("disk", "tasks"):
        raise ValueError(f"shuffle must be 'disk' or 'tasks', got {shuffle!r}")
    shape = tuple(int(extent) for extent in volume.shape)
    block = tuple(int(b) for b in (block_shape if block_shape is not None else default_block_shape(volume)))
    if len(block) != 3 or not all(1 <= edge <= MAX_BLOCK_EDGE for edge in block):
        raise ValueError(f"block_shape must be three integers from 1 to {MAX_BLOCK_EDGE}, got {tuple(block)}")
    if output is not None:
        from .io import FORMATS

        if format not in FORMATS:
            raise ValueError(f"unknown mesh format {format!r}; expected one of {', '.join(FORMATS)}")
        os.makedirs(output, exist_ok=True)
    layout = Layout(shape, block, bool(close))  # type: ignore[arg-type]
    frame = Frame.of(shape, settings)
    wanted = labels if callable(labels) or labels is None else frozenset(int(label) for label in labels)
    reduction = int(reduction_factor)

    # a dask array's window becomes a dependency of the block's task, read by Dask itself; an
    # array in memory goes to a cluster's workers a window at a time, not whole with each task
    windowed = type(volume).__module__.startswith("dask.") or (client is not None and isinstance(volume, np.ndarray))
    tasks = []
    for start in layout.starts():
        source = volume[inside(*layout.window(start), shape)] if windowed else volume
        tasks.append(
            dask.delayed(mesh_block, pure=True)(source, start, layout, settings, reduction, max_error, wanted, windowed)
        )
    if not tasks:
        return {} if output is None else []
    folder = None if output is None else os.fspath(output)
    parts = len(tasks)
    if shuffle == "tasks":
        # Dask's own shuffle, in the workers' memory (a cluster spills it as it needs)
        grouped = db.from_delayed(tasks).groupby(_label_of, shuffle="tasks", npartitions=parts)
        joined = grouped.map_partitions(_join_groups, frame, normals, folder, format)
        computed = _compute(joined, client, scheduler, progress)
    else:
        with tempfile.TemporaryDirectory(prefix="tarna-blockwise-", dir=scratch) as spilled:
            spill = Spill(spilled, parts)
            stored = dask.delayed(_all_stored, pure=True)(
                *[dask.delayed(spill.store, pure=True)(task) for task in tasks]
            )
            joins = [
                dask.delayed(spill.join, pure=True)(part, stored, frame, normals, folder, format)
                for part in range(parts)
            ]
            computed = [item for part in _compute(joins, client, scheduler, progress) for item in part]
    if output is None:
        return dict(sorted(computed))
    return sorted(computed, key=lambda record: record["label"])


def _join_groups(
    groups: Iterable[tuple[int, list[tuple[int, Piece]]]], frame: Frame, normals: bool, folder: str | None, format: str
) -> list[Any]:
    return [join_group(label, [piece for _, piece in items], frame, normals, folder, format) for label, items in groups]


def _compute(collection: Any, client: Any, scheduler: str | None, progress: bool | Callable[[], Any]) -> list[Any]:
    """Run a Dask collection (or a list of delayed objects) and return its items."""
    dask: Any = require("dask", extra="dask")
    if client is not None:
        futures = client.compute(collection)
        if progress:
            show: Any = require("distributed", extra="dask").progress
            show(futures)
        return list(client.gather(futures))
    options = {"scheduler": scheduler or "threads"}
    if progress:
        bar: Any = require("dask.diagnostics", extra="dask").ProgressBar
        with bar() if progress is True else progress():
            return list(dask.compute(collection, **options)[0])
    return list(dask.compute(collection, **options)[0])
