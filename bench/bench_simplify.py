"""Simplification benchmark: get(label, reduction_factor=k) against fast-simplification,
meshoptimizer's simplifier and pymeshlab's quadric edge collapse.

Meshes, all closed (`close=True`) and read out with `get(label)`:

  dense largest   the 10 largest objects of the dense extraction benchmark volume
                  (256^3 uint32, Voronoi partition of 2,000 seeds, bench_extract.voronoi)
  dense all       every object of that volume in turn
  blob            one bumpy sphere of radius 160 voxels in a 384^3 volume, about 1.05 million
                  triangles

Every engine gets the same triangle meshes and the same target, faces // k, for k = 10 and
100. Engines:

  tarna             get(label, reduction_factor=k): the default bound, one voxel
  tarna, no bound   get(label, reduction_factor=k, max_error=inf)
  fast-simpl.       fast_simplification.simplify(v, f, target_count=target)
  meshopt 1 vox     meshoptimizer.simplify with SIMPLIFY_LOCK_BORDER | SIMPLIFY_ERROR_ABSOLUTE
                    and target_error 1.0 (the same bound as tarna's default)
  meshopt           the same with target_error 1e30 (no bound)
  pymeshlab         meshing_decimation_quadric_edge_collapse(targetfacenum=target,
                    preserveboundary=True, preservetopology=True); only the filter call is
                    timed, not building the MeshSet

Figures: best-of-N wall time over the whole set (tarna: get() with simplification, and
"simplify only" = that minus the best time of plain get() on the same labels), input
triangles per second, output triangles, the largest distance of any output vertex from the
input surface (exact point-to-triangle distance; candidate triangles from a KD-tree over the
input triangles' centroids, widened until no closer triangle can be missed) and how many
outputs are not closed, edge-manifold and vertex-manifold with consistent winding.

Run (the peers are never dependencies of the package):

  python -m venv /tmp/simplenv
  /tmp/simplenv/bin/pip install numpy scipy fast-simplification meshoptimizer pymeshlab
  cmake -S . -B /tmp/build-simplify -DPython_EXECUTABLE=/tmp/simplenv/bin/python
  cmake --build /tmp/build-simplify -j2
  PYTHONPATH=/tmp/build-simplify /tmp/simplenv/bin/python bench/bench_simplify.py

Options: --small (96^3 dense volume, 200 seeds, a 128^3 blob); --repeats N (default 3, tarna
and the fast peers; pymeshlab runs once); --sets largest,all,blob; --factors 10,100.
"""

from __future__ import annotations

import argparse
import gc
import math
import time

import numpy as np
from bench_extract import SEED, voronoi

# ---------------------------------------------------------------- meshes


def blob(size: int) -> np.ndarray:
    radius = 160.0 * size / 384
    axis = np.arange(size, dtype=np.float32) - (size - 1) / 2
    x, y, z = np.meshgrid(axis, axis, axis, indexing="ij", sparse=True)
    bumps = 1 + 0.12 * np.sin(x / 23.0) * np.sin(y / 19.0) * np.sin(z / 29.0)
    return (np.sqrt(x * x + y * y + z * z) < radius * bumps).astype(np.uint8)


def mesh_sets(small: bool, wanted):
    from tarna_mesh import Mesher

    sets = []
    if {"largest", "all"} & wanted:
        size, seeds = (96, 200) if small else (256, 2000)
        mesher = Mesher(threads=0)
        mesher.mesh(voronoi(size, seeds, np.random.default_rng(SEED)), close=True)
        labels = mesher.ids().tolist()
        faces = {label: len(mesher.get(label)[1]) for label in labels}
        if "largest" in wanted:
            sets.append(("dense largest", mesher, sorted(labels, key=lambda l: -faces[l])[:10]))
        if "all" in wanted:
            sets.append((f"dense all ({len(labels)})", mesher, labels))
    if "blob" in wanted:
        mesher = Mesher(threads=0)
        mesher.mesh(blob(128 if small else 384), close=True)
        sets.append(("blob", mesher, [1]))
    return sets


# ---------------------------------------------------------------- engines
#
# Each peer is prepare(vertices, faces, target) -> run, where run() is the timed call and returns
# (vertices, faces) of the result.


def fast_simplification_engine(vertices, faces, target):
    import fast_simplification

    return lambda: fast_simplification.simplify(vertices, faces, target_count=target)


def meshopt_engine(bound):
    def prepare(vertices, faces, target):
        import meshoptimizer

        indices = faces.ravel()
        destination = np.zeros(len(indices), np.uint32)
        options = meshoptimizer.SIMPLIFY_LOCK_BORDER | meshoptimizer.SIMPLIFY_ERROR_ABSOLUTE

        def run():
            count = meshoptimizer.simplify(
                destination, indices, vertices, target_index_count=target * 3, target_error=bound, options=options
            )
            return vertices, destination[:count].reshape(-1, 3).copy()

        return run

    return prepare


def pymeshlab_engine(vertices, faces, target):
    import pymeshlab

    meshes = pymeshlab.MeshSet()
    meshes.add_mesh(pymeshlab.Mesh(vertices.astype(np.float64), faces.astype(np.int32)))

    def run():
        meshes.meshing_decimation_quadric_edge_collapse(
            targetfacenum=target, preserveboundary=True, preservetopology=True
        )
        current = meshes.current_mesh()
        return current.vertex_matrix(), current.face_matrix()

    return run


PEERS = {
    "fast-simpl.": fast_simplification_engine,
    "meshopt 1 vox": meshopt_engine(1.0),
    "meshopt": meshopt_engine(1e30),
    "pymeshlab": pymeshlab_engine,
}


# ---------------------------------------------------------------- quality


def used_part(vertices, faces):
    """Only the vertices some face uses (meshoptimizer keeps the input's vertex array)."""
    used, inverse = np.unique(faces.ravel(), return_inverse=True)
    return vertices[used], inverse.reshape(-1, 3)


def point_triangle_distance(p, a, b, c):
    """Exact distance from each point to its triangle (closest-point regions, Ericson 2005)."""
    ab, ac = b - a, c - a
    dot = lambda x, y: np.einsum("ij,ij->i", x, y)  # noqa: E731
    ap, bp, cp = p - a, p - b, p - c
    d1, d2, d3, d4, d5, d6 = dot(ab, ap), dot(ac, ap), dot(ab, bp), dot(ac, bp), dot(ab, cp), dot(ac, cp)
    va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
    with np.errstate(all="ignore"):
        denom = va + vb + vc
        closest = a + ab * (vb / denom)[:, None] + ac * (vc / denom)[:, None]
        regions = [  # later entries take precedence, as the earlier tests do in the scalar version
            ((va <= 0) & (d4 - d3 >= 0) & (d5 - d6 >= 0), b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6)))[:, None]),
            ((vb <= 0) & (d2 >= 0) & (d6 <= 0), a + ac * (d2 / (d2 - d6))[:, None]),
            ((d6 >= 0) & (d5 <= d6), c),
            ((vc <= 0) & (d1 >= 0) & (d3 <= 0), a + ab * (d1 / (d1 - d3))[:, None]),
            ((d3 >= 0) & (d4 <= d3), b),
            ((d1 <= 0) & (d2 <= 0), a),
        ]
    for where, point in regions:
        closest = np.where(where[:, None], point, closest)
    distance = np.linalg.norm(p - closest, axis=1)
    corners = np.min([np.linalg.norm(p - x, axis=1) for x in (a, b, c)], axis=0)
    return np.fmin(distance, corners)  # degenerate triangles: at worst the nearest corner


class Surface:
    """An input mesh, ready for distance queries."""

    def __init__(self, vertices, faces):
        from scipy.spatial import cKDTree

        corners = vertices.astype(np.float64)[faces]
        self.a, self.b, self.c = corners[:, 0], corners[:, 1], corners[:, 2]
        centroids = corners.mean(axis=1)
        self.reach = np.linalg.norm(corners - centroids[:, None], axis=2).max()
        self.tree = cKDTree(centroids)

    def largest_distance(self, points) -> float:
        points = points.astype(np.float64)
        if len(points) == 0:
            return 0.0
        k = min(16, len(self.a))
        while True:
            gaps, nearest = self.tree.query(points, k=k)
            gaps, nearest = gaps.reshape(len(points), k), nearest.reshape(len(points), k)
            best = np.full(len(points), np.inf)
            for j in range(k):
                t = nearest[:, j]
                best = np.minimum(best, point_triangle_distance(points, self.a[t], self.b[t], self.c[t]))
            # A closer triangle would have its centroid within best + reach.
            if k == len(self.a) or np.all(gaps[:, -1] >= best + self.reach):
                return float(best.max())
            k = min(k * 4, len(self.a))


def closed_manifold(faces) -> bool:
    """Every directed edge once and its reverse once, and one fan of faces around each vertex."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    if len(faces) == 0:
        return True
    f = faces.astype(np.int64)
    n = int(f.max()) + 1
    start, end = f.ravel(), np.roll(f, -1, axis=1).ravel()  # half-edge 3t+i runs from corner i to i+1
    key, reverse = start * n + end, end * n + start
    order = np.argsort(key)
    sorted_keys = key[order]
    if np.any(sorted_keys[1:] == sorted_keys[:-1]):
        return False
    where = np.minimum(np.searchsorted(sorted_keys, reverse), len(key) - 1)
    if not np.all(sorted_keys[where] == reverse):
        return False
    twin = order[where]
    # Corner 3t+i (at the start of half-edge 3t+i) joins the corner of the same vertex in the twin's
    # face; each vertex must end up with a single group.
    across = 3 * (twin // 3) + (twin % 3 + 1) % 3
    count = len(key)
    graph = coo_matrix((np.ones(count), (np.arange(count), across)), shape=(count, count))
    groups = connected_components(graph, directed=False)[0]
    return groups == len(np.unique(f))


# ---------------------------------------------------------------- running


def best_time(run, repeats):
    best = math.inf
    result = None
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--sets", default="largest,all,blob")
    parser.add_argument("--factors", default="10,100")
    args = parser.parse_args(argv)
    factors = [int(x) for x in args.factors.split(",")]

    print(
        f"{'set':<18} {'k':>4} {'engine':<15} {'in tris':>10} {'out tris':>10} {'time s':>8} "
        f"{'Mtri/s':>7} {'get() s':>8} {'simpl. s':>8} {'max dist':>9} {'not closed':>10}"
    )
    for name, mesher, labels in mesh_sets(args.small, set(args.sets.split(","))):
        inputs = {label: mesher.get(label)[:2] for label in labels}
        surfaces = {label: Surface(*inputs[label]) for label in labels}
        input_tris = sum(len(f) for _, f in inputs.values())
        plain, _ = best_time(lambda: [mesher.get(label) for label in labels], args.repeats)

        def report(k, engine, seconds, outputs, plain_seconds=None):
            out_tris = sum(len(f) for _, f in outputs.values())
            worst = max(surfaces[label].largest_distance(used_part(*outputs[label])[0]) for label in labels)
            broken = sum(not closed_manifold(used_part(*outputs[label])[1]) for label in labels)
            simplify_only = f"{seconds - plain_seconds:8.3f}" if plain_seconds is not None else f"{'':>8}"
            get_time = f"{plain_seconds:8.3f}" if plain_seconds is not None else f"{'':>8}"
            print(
                f"{name:<18} {k:>4} {engine:<15} {input_tris:>10} {out_tris:>10} {seconds:8.3f} "
                f"{input_tris / seconds / 1e6:7.2f} {get_time} {simplify_only} {worst:9.4f} "
                f"{broken:>4} / {len(labels):<4}",
                flush=True,
            )

        for k in factors:
            for engine, bound in (("tarna", None), ("tarna, no bound", math.inf)):
                seconds, results = best_time(
                    lambda: [mesher.get(label, reduction_factor=k, max_error=bound) for label in labels], args.repeats
                )
                report(k, engine, seconds, dict(zip(labels, (r[:2] for r in results))), plain)
            for engine, prepare in PEERS.items():
                runs = {label: prepare(*inputs[label], len(inputs[label][1]) // k) for label in labels}
                repeats = 1 if engine == "pymeshlab" else args.repeats
                if engine == "pymeshlab":
                    # Each run decimates its MeshSet in place: time one pass over fresh sets.
                    start = time.perf_counter()
                    outputs = {label: run() for label, run in runs.items()}
                    seconds = time.perf_counter() - start
                else:
                    seconds, outputs = best_time(lambda: {label: run() for label, run in runs.items()}, repeats)
                report(k, engine, seconds, {label: tuple(np.asarray(x) for x in out) for label, out in outputs.items()})
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
