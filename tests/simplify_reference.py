"""A slow, plain model of get()'s simplification, to hold the native one to the bit.

Plain lists, dicts and heapq; every float expression in the same order as the native code
(Python floats are IEEE doubles, so the results can agree bit for bit).
"""

import heapq
import math
from dataclasses import dataclass

import numpy as np


@dataclass
class Result:
    vertices: np.ndarray  # float32 (N, 3)
    faces: np.ndarray  # uint32 (M, 3)
    origin: list  # per output vertex, the input vertex it is
    locked: list  # per output vertex, 0 or 1
    collapses: int
    exhausted: bool  # the candidates ran out before the target was reached


def quadric_error(q, p):
    x, y, z = p
    return (
        q[0] * x * x
        + 2 * q[1] * x * y
        + 2 * q[2] * x * z
        + 2 * q[3] * x
        + q[4] * y * y
        + 2 * q[5] * y * z
        + 2 * q[6] * y
        + q[7] * z * z
        + 2 * q[8] * z
        + q[9]
    )


def face_normal(p0, p1, p2):
    ux, uy, uz = p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]
    vx, vy, vz = p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]
    return (uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx)


def squared_length(v):
    return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]


def optimum(q):
    a, b, c, d, e, f = q[0], q[1], q[2], q[4], q[5], q[7]
    r0, r1, r2 = -q[3], -q[6], -q[8]
    a00, a01, a02 = d * f - e * e, c * e - b * f, b * e - c * d
    a11, a12, a22 = a * f - c * c, b * c - a * e, a * d - b * b
    det = a * a00 + b * a01 + c * a02
    scale = max(abs(a) + abs(d) + abs(f), 1e-12)
    if not math.isfinite(det) or not abs(det) > 1e-10 * (scale * scale * scale):
        return None
    solution = (
        (a00 * r0 + a01 * r1 + a02 * r2) / det,
        (a01 * r0 + a11 * r1 + a12 * r2) / det,
        (a02 * r0 + a12 * r1 + a22 * r2) / det,
    )
    return solution if all(math.isfinite(x) for x in solution) else None


def simplify(vertices, faces, target, max_error, flags=()):
    """The simplification of (vertices, faces) to `target` faces within `max_error`."""
    positions = [tuple(float(x) for x in p) for p in vertices]
    start = list(positions)
    faces = [list(map(int, face)) for face in faces]
    alive = [True] * len(faces)
    around = [[] for _ in positions]
    for index, face in enumerate(faces):
        for corner in face:
            around[corner].append(index)

    quadrics = [[0.0] * 10 for _ in positions]
    for face in faces:
        p0 = positions[face[0]]
        n = face_normal(p0, positions[face[1]], positions[face[2]])
        length_squared = squared_length(n)
        if not length_squared > 0:
            continue
        length = math.sqrt(length_squared)
        a, b, c = n[0] / length, n[1] / length, n[2] / length
        d = -(a * p0[0] + b * p0[1] + c * p0[2])
        plane = (a * a, a * b, a * c, a * d, b * b, b * c, b * d, c * c, c * d, d * d)
        for corner in face:
            quadrics[corner] = [x + y for x, y in zip(quadrics[corner], plane)]

    uses = {}
    for face in faces:
        for u, w in ((face[0], face[1]), (face[1], face[2]), (face[2], face[0])):
            key = (min(u, w), max(u, w))
            uses[key] = uses.get(key, 0) + 1
    locked = [False] * len(positions)
    for (u, w), count in uses.items():
        if count != 2:
            locked[u] = locked[w] = True
    for v, flag in enumerate(flags):
        if flag:
            locked[v] = True
    stamps = [0] * len(positions)
    removed = [False] * len(positions)
    live = len(faces)
    heap = []

    def make_candidate(u, w):
        a, b = min(u, w), max(u, w)
        if locked[a] or locked[b]:
            return
        q = [x + y for x, y in zip(quadrics[a], quadrics[b])]
        pa, pb = positions[a], positions[b]
        best = tuple((x + y) * 0.5 for x, y in zip(pa, pb))
        best_error = quadric_error(q, best)
        for position in (pa, pb, optimum(q)):
            if position is not None and quadric_error(q, position) < best_error:
                best, best_error = position, quadric_error(q, position)
        cost = best_error if best_error > 0 else 0.0
        heapq.heappush(heap, (cost, a, b, stamps[a], stamps[b], best))

    def neighbours(v):
        return sorted({c for f in around[v] if alive[f] for c in faces[f] if c != v})

    def flips(face, a, b, position):
        before = [positions[c] for c in face]
        after = [position if c in (a, b) else positions[c] for c in face]
        n0, n1 = face_normal(*before), face_normal(*after)
        length0 = squared_length(n0)
        if not length0 > 0:
            return False
        length1 = squared_length(n1)
        if not length1 > 0:
            return True
        root0, root1 = math.sqrt(length0), math.sqrt(length1)
        dot = (n0[0] / root0) * (n1[0] / root1) + (n0[1] / root0) * (n1[1] / root1) + (n0[2] / root0) * (n1[2] / root1)
        return dot <= 0

    def allowed(a, b, position):
        if locked[a] or locked[b]:
            return False
        for end in (a, b):
            dx, dy, dz = (position[k] - start[end][k] for k in range(3))
            if dx * dx + dy * dy + dz * dz > max_error * max_error:
                return False
        opposite = sorted({c for f in around[a] if alive[f] and b in faces[f] for c in faces[f] if c not in (a, b)})
        if not opposite:
            return False
        if sorted(set(neighbours(a)) & set(neighbours(b))) != opposite or live < 5:
            return False
        seen = set()
        for f in around[a] + around[b]:
            face = faces[f]
            if not alive[f] or (a in face and b in face):
                continue
            result = [a if c == b else c for c in face]
            if len(set(result)) < 3 or flips(face, a, b, position):
                return False
            key = tuple(sorted(result))
            if key in seen:
                return False
            seen.add(key)
        return True

    done = set()
    for face in faces:
        for u, w in ((face[0], face[1]), (face[1], face[2]), (face[0], face[2])):
            if (min(u, w), max(u, w)) not in done:
                done.add((min(u, w), max(u, w)))
                make_candidate(u, w)

    collapses = 0
    while heap:
        _, a, b, stamp_a, stamp_b, position = heapq.heappop(heap)
        if removed[a] or removed[b]:
            continue
        if (stamp_a, stamp_b) != (stamps[a], stamps[b]):
            make_candidate(a, b)
            continue
        if not allowed(a, b, position):
            continue
        positions[a] = position
        quadrics[a] = [x + y for x, y in zip(quadrics[a], quadrics[b])]
        for f in around[b]:
            if not alive[f]:
                continue
            if a in faces[f]:
                alive[f] = False
                live -= 1
            else:
                faces[f] = [a if c == b else c for c in faces[f]]
                around[a].append(f)
        stamps[a] += 1
        stamps[b] += 1
        removed[b] = True
        around[a] = [f for f in around[a] if alive[f]]
        for n in neighbours(a):
            make_candidate(a, n)
        collapses += 1
        if live <= target:
            break

    if collapses == 0:
        return Result(
            np.asarray(vertices, np.float32),
            np.asarray(faces, np.uint32).reshape(-1, 3),
            list(range(len(positions))),
            [int(x) for x in locked],
            0,
            True,
        )
    new_index, origin, out_faces = {}, [], []
    for f, face in enumerate(faces):
        if alive[f]:
            for c in face:
                if c not in new_index:
                    new_index[c] = len(origin)
                    origin.append(c)
            out_faces.append([new_index[c] for c in face])
    out_vertices = np.array([positions[v] for v in origin], np.float64).astype(np.float32)
    return Result(
        out_vertices,
        np.array(out_faces, np.uint32).reshape(-1, 3),
        origin,
        [int(locked[v]) for v in origin],
        collapses,
        not heap and live > target,
    )
