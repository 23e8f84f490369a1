"""A slow, plainly written reference of the stored surfaces and of their smoothing, for the tests.

`extract` rebuilds what a pass stores, straight from the volume and the surface-nets rules: every
surface cell in scanning order with its shared position, and per label its vertices (numbered in
cell order, patch order within a cell) and quads. Vertex numbering matters: a smoothed vertex
sums its neighbours in ascending index order, and float sums depend on their order.

`relax` and `fair` smooth that store with NumPy float32 scalars, each expression evaluated in the
order the native code must use, so their results are comparable bit for bit.
"""

import math
from dataclasses import dataclass, field
from functools import cache

import numpy as np

F = np.float32
EDGES = ((0, 1), (0, 2), (0, 4), (1, 3), (1, 5), (2, 3), (2, 6), (3, 7), (4, 5), (4, 6), (5, 7), (6, 7))
# Face f of a cell holds the corners whose bit f // 2 is f % 2; its edges join two of those.
FACES = [[e for e, ends in enumerate(EDGES) if all((c >> (f // 2)) & 1 == f % 2 for c in ends)] for f in range(6)]


@cache
def patches(corner_set):
    """Patch number of each crossed edge of a label's corner set in one cell, None where not crossed."""
    crossed = [(corner_set >> a & 1) != (corner_set >> b & 1) for a, b in EDGES]
    parent = list(range(12))

    def root(e):
        while parent[e] != e:
            e = parent[e]
        return e

    def link(a, b):
        ra, rb = root(a), root(b)
        parent[max(ra, rb)] = min(ra, rb)

    for face in FACES:
        on_face = [e for e in face if crossed[e]]
        if len(on_face) == 2:
            link(*on_face)
        elif len(on_face) == 4:
            # Diagonal face: each corner of the label is cut off on its own.
            for corner in {c for e in face for c in EDGES[e]}:
                if corner_set >> corner & 1:
                    link(*[e for e in face if corner in EDGES[e]])
    numbers = {}
    return tuple(numbers.setdefault(root(e), len(numbers)) if crossed[e] else None for e in range(12))


@dataclass
class Cell:
    id: int
    position: tuple
    mask: int
    boundary: bool
    corner: tuple  # position of corner 0


@dataclass
class Mesh:
    positions: list = field(default_factory=list)
    cells: list = field(default_factory=list)
    boundary: list = field(default_factory=list)
    quads: list = field(default_factory=list)


def extract(labels, close=False, owned=None, track=False):
    """The surface cells, the cell grid's shape and one Mesh per label of a pass over `labels`."""
    if 0 in labels.shape:
        return [], (0, 0, 0), {}
    volume = np.pad(labels, 1) if close else labels
    origin = -1 if close else 0
    shape = tuple(extent - 1 for extent in volume.shape)
    if 0 in shape:
        return [], (0, 0, 0), {}
    corner_views = [
        volume[d0 : d0 + shape[0], d1 : d1 + shape[1], d2 : d2 + shape[2]]
        for d2 in (0, 1)
        for d1 in (0, 1)
        for d0 in (0, 1)
    ]  # corner k = d0 + 2 d1 + 4 d2
    surface = np.zeros(shape, bool)
    for view in corner_views[1:]:
        surface |= view != corner_views[0]
    # Surface cells in scanning order: axis 2 slowest, axis 0 fastest.
    scan = sorted(map(tuple, np.argwhere(surface).tolist()), key=lambda cell: cell[::-1])
    cells, meshes, vertex_of = [], {}, {}
    for o, m, g in scan:
        corners = [int(volume[o + (k & 1), m + (k >> 1 & 1), g + (k >> 2)]) for k in range(8)]
        mask = sum(1 << e for e, (a, b) in enumerate(EDGES) if corners[a] != corners[b])
        # Centroid of the crossed edges' midpoints, rounded (sums in units of 128).
        sums = [sum((a >> k & 1) + (b >> k & 1) for e, (a, b) in enumerate(EDGES) if mask >> e & 1) for k in range(3)]
        count = bin(mask).count("1")
        corner = tuple((c + origin) * 256 for c in (o, m, g))
        position = tuple(corner[k] + (256 * sums[k] + count) // (2 * count) for k in range(3))
        border = o in (0, shape[0] - 1) or m in (0, shape[1] - 1) or g in (0, shape[2] - 1)
        cells.append(Cell(o + shape[0] * (m + shape[1] * g), position, mask, track and border, corner))
        for label in dict.fromkeys(corners):  # in order of each label's lowest corner
            if label == 0:
                continue
            corner_set = sum(1 << k for k in range(8) if corners[k] == label)
            mesh = meshes.setdefault(label, Mesh())
            vertex_of[(o, m, g, label)] = (len(mesh.positions), patches(corner_set))
            made = 1 + max(p for p in patches(corner_set) if p is not None)
            mesh.positions += [position] * made
            mesh.cells += [len(cells) - 1] * made
            mesh.boundary += [track and border] * made
    # Faces: around the edge leaving each cell's corner 0 along each axis, over the four cells
    # that share it, wound so each label sees them counter-clockwise from outside.
    for o, m, g in scan:
        for axis in range(3):
            step = [int(k == axis) for k in range(3)]
            a, b = int(volume[o, m, g]), int(volume[o + step[0], m + step[1], g + step[2]])
            if a == b:
                continue
            w, v = (axis + 1) % 3, (axis + 2) % 3
            lowest = [o, m, g]
            lowest[w] -= 1
            lowest[v] -= 1
            if owned is not None and not all(0 <= lowest[k] < owned[k] for k in range(3)):
                continue
            ring = []
            for dw, dv in ((0, 0), (1, 0), (1, 1), (0, 1)):
                cell = [o, m, g]
                cell[w] -= dw
                cell[v] -= dv
                first = dw << w | dv << v
                ring.append((tuple(cell), EDGES.index((first, first | 1 << axis))))
            if any(min(cell) < 0 for cell, _ in ring):
                continue
            for label, reverse in ((a, False), (b, True)):
                if label != 0:
                    quad = [vertex_of[cell + (label,)][0] + vertex_of[cell + (label,)][1][edge] for cell, edge in ring]
                    meshes[label].quads.append(quad[::-1] if reverse else quad)
    return cells, shape, meshes


def to_fixed(value):
    """Nearest integer, halves away from zero, saturated to 32 bits; NaN gives 0."""
    value = float(value)
    if math.isnan(value):
        return 0
    if abs(value) >= 2.0**31:
        return 2**31 - 1 if value > 0 else -(2**31)
    return int(math.copysign(math.floor(abs(value) + 0.5), value))


def clamp(t, lo, hi):
    below = t if lo < t else lo  # a NaN t gives lo
    return below if below < hi else hi


def average(points):
    total = [F(0), F(0), F(0)]
    for point in points:
        total = [total[k] + point[k] for k in range(3)]
    return total, F(1) / F(len(points))


def relax(mesh, iterations, weights, max_deviation):
    """Positions of `mesh` after `iterations` rounds of one umbrella pass per weight."""
    n = len(mesh.positions)
    if iterations == 0 or not mesh.quads:
        return list(mesh.positions)
    neighbours = [set() for _ in range(n)]
    for quad in mesh.quads:
        for side in range(4):
            a, b = quad[side], quad[(side + 1) % 4]
            neighbours[a].add(b)
            neighbours[b].add(a)
    neighbours = [sorted(others - {j}) for j, others in enumerate(neighbours)]
    pinned = mesh.boundary if len(mesh.boundary) == n else [False] * n
    current = [[F(c) for c in position] for position in mesh.positions]
    with np.errstate(all="ignore"):
        bound = F(max_deviation * 256.0)
        for _ in range(iterations):
            for weight in weights:
                weight = F(weight)
                following = []
                for j in range(n):
                    if not neighbours[j] or pinned[j]:
                        following.append(current[j])
                        continue
                    total, reciprocal = average([current[i] for i in neighbours[j]])
                    moved = []
                    for k in range(3):
                        p, o = current[j][k], F(mesh.positions[j][k])
                        t = (total[k] * reciprocal - p) * weight + p
                        moved.append(clamp(t, o - bound, bound + o))
                    following.append(moved)
                current = following
    return [tuple(to_fixed(c) for c in point) for point in current]


def fair(
    cells, shape, iterations, step, junction_rule=True, with_taubin=False, pass_band=0.1, lam=0.63, max_deviation=0.5
):
    """Positions of the surface cells after fairing."""
    with np.errstate(all="ignore"):
        if with_taubin:
            mu = np.float64(1.0) / (np.float64(pass_band) - np.float64(1.0) / np.float64(lam))
            weights = [F(lam), F(mu)]
        else:
            weights = [F(step)]
        bound = F(max_deviation * 256.0)
    index = {cell.id: j for j, cell in enumerate(cells)}
    n0, n1, n2 = shape
    offsets = (-1, 1, -n0, n0, -n0 * n1, n0 * n1)
    links = []
    for cell in cells:
        i = (cell.id % n0, cell.id // n0 % n1, cell.id // (n0 * n1))
        in_grid = [i[f // 2] > 0 if f % 2 == 0 else i[f // 2] + 1 < shape[f // 2] for f in range(6)]
        crossed = [bin(cell.mask & sum(1 << e for e in FACES[f])).count("1") for f in range(6)]
        junctions = [f for f in range(6) if in_grid[f] and crossed[f] >= 3]
        linked = (
            junctions
            if junction_rule and len(junctions) >= 2
            else [f for f in range(6) if in_grid[f] and crossed[f] >= 2]
        )
        links.append([index[cell.id + offsets[f]] for f in linked if cell.id + offsets[f] in index])
    current = [[F(c) for c in cell.position] for cell in cells]
    with np.errstate(all="ignore"):
        for _ in range(iterations):
            for weight in weights:
                following = []
                for j, cell in enumerate(cells):
                    if not links[j] or cell.boundary:
                        following.append(current[j])
                        continue
                    total, reciprocal = average([current[i] for i in links[j]])
                    moved = []
                    for k in range(3):
                        o, lowest = F(cell.position[k]), F(cell.corner[k])
                        lo = lowest if o - bound < lowest else o - bound
                        hi = o + bound if o + bound < lowest + F(256) else lowest + F(256)
                        p = current[j][k]
                        moved.append(clamp((total[k] * reciprocal - p) * weight + p, lo, hi))
                    following.append(moved)
                current = following
    return [tuple(to_fixed(c) for c in point) for point in current]
