"""dice() written the slow, obvious way: every triangle cut plane after plane, every piece of the
list examined at every plane, in Python doubles (the same IEEE operations in the same order), so
results can be compared bit for bit."""

import struct

import numpy as np


def finite(x):
    return x == x and abs(x) != float("inf")


def cell_coordinate(x, origin, size, grid_size):
    cell = (x - origin) / size
    if not cell >= 0:
        return 0
    if cell >= 2.0**63:
        return grid_size - 1
    return min(int(cell), grid_size - 1)


def cell_range(corners, chunk, origin, size):
    """Cells of the smallest and largest coordinate per axis, coordinates that are not finite
    passed over."""
    lo, hi = [], []
    for axis in range(3):
        low = high = corners[0][axis]
        for point in corners[1:]:
            x = point[axis]
            if finite(x):
                low = x if (x < low or not finite(low)) else low
                high = x if (x > high or not finite(high)) else high
        lo.append(cell_coordinate(low, origin[axis], chunk[axis], size[axis]))
        hi.append(cell_coordinate(high, origin[axis], chunk[axis], size[axis]))
    return lo, hi


def value_less(a, b):
    for axis in range(3):
        if a[axis] < b[axis]:
            return True
        if b[axis] < a[axis]:
            return False
    return False


def cut_point(p, q, axis, plane):
    low, high = (q, p) if value_less(q, p) else (p, q)
    t = (plane - low[axis]) / (high[axis] - low[axis])
    cut = [t * (high[c] - low[c]) + low[c] for c in range(3)]
    cut[axis] = plane
    return tuple(cut)


def keep(polygon, axis, below, plane):
    out = []
    for i, p in enumerate(polygon):
        q = polygon[(i + 1) % len(polygon)]
        if not (p[axis] > plane if below else p[axis] < plane):
            out.append(p)
        if (p[axis] < plane < q[axis]) or (p[axis] > plane > q[axis]):
            out.append(cut_point(p, q, axis, plane))
    return out


def round_half_away(x):
    if not abs(x) < 2.0**52:
        return x
    whole = float(int(x))
    fraction = x - whole
    return whole + (1.0 if fraction >= 0.5 else 0.0) - (1.0 if fraction <= -0.5 else 0.0)


def dice_reference(vertices, faces, chunk, origin, size, bits=None):
    top = float(2**bits - 1) if bits else 0.0
    cells = {}

    def convert(point, key):
        if bits is None:
            return tuple(float(np.float32(x)) for x in point)
        out = []
        for axis in range(3):
            step = round_half_away((point[axis] - origin[axis]) * (top / chunk[axis]))
            local = step - float(key[axis]) * top
            local = local if local > 0 else 0.0
            out.append(float(np.float32(local if local < top else top)))
        return tuple(out)

    def emit(key, triangle):
        out = [convert(point, key) for point in triangle]
        if out[0] == out[1] or out[1] == out[2] or out[0] == out[2]:
            return
        points, index, cell_faces = cells.setdefault(tuple(key), ([], {}, []))
        face = []
        for point in out:
            bits_key = struct.pack("<3f", *point)
            if bits_key not in index:
                index[bits_key] = len(points)
                points.append(point)
            face.append(index[bits_key])
        cell_faces.append(face)

    for face in np.asarray(faces).tolist():
        corners = [tuple(float(x) for x in vertices[v]) for v in face]
        lo, hi = cell_range(corners, chunk, origin, size)
        pieces = [(corners, lo)]
        for axis in range(3):
            for k in range(lo[axis] + 1, hi[axis] + 1):
                plane = float(k) * chunk[axis] + origin[axis]
                rebuilt = []
                for polygon, key in pieces:
                    upper = key[:axis] + [k] + key[axis + 1 :]
                    below = any(p[axis] < plane for p in polygon)
                    above = any(p[axis] > plane for p in polygon)
                    if not above:
                        rebuilt.append((polygon, key))
                    elif not below:
                        rebuilt.append((polygon, upper))
                    else:
                        for part, part_key in (
                            (keep(polygon, axis, True, plane), key),
                            (keep(polygon, axis, False, plane), upper),
                        ):
                            if len(part) >= 3:
                                rebuilt.append((part, part_key))
                pieces = rebuilt
        for polygon, key in pieces:
            for i in range(1, len(polygon) - 1):
                emit(key, (polygon[0], polygon[i], polygon[i + 1]))
    return {
        key: (np.array(points, np.float32).reshape(-1, 3), np.array(cell_faces, np.uint32).reshape(-1, 3))
        for key, (points, _, cell_faces) in sorted(cells.items())
    }
