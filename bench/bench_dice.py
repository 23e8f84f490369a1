"""Dicing benchmark: tarna_mesh.dice against trimesh's plane slicing.

The meshes are every object of the dense benchmark volume (256^3 uint32, a Voronoi
partition of 2,000 seeds from a fixed numpy seed), extracted with
`Mesher(threads=0).mesh(labels)` and read out with `get()`. Every object is cut
into 64^3-voxel chunks (chunk_shape (64, 64, 64), grid from the origin covering
the volume):

  tarna             dice(vertices, faces, chunk, origin, size)
  tarna bits=10     the same with quantization_bits=10
  trimesh, every plane
                    trimesh.intersections.slice_mesh_plane, the way it is used to
                    chunk a mesh today: axis by axis, every piece is cut along every
                    interior grid plane of that axis, keeping each slab between two
                    planes as its own mesh (one call per slab, two planes per call,
                    cap=False), so each cell's piece comes out of the last axis.
  trimesh, crossed planes
                    the same, but only along the planes a piece's bounding box
                    crosses, and a piece inside one slab is passed on without a call:
                    what a careful user adds. Objects that fit in one cell then cost
                    the peer almost nothing, while dice() still reads every triangle.

Figures: best-of-N wall time of the whole set, triangles per second in (input
faces) and out (faces of all cell pieces), and the ratio of the input rates.
trimesh is slow, so with --peer-subset K it runs on every K-th object only (a
fixed subset) and its rate is the per-triangle throughput on that subset; the
table says so. Total surface area of the pieces is printed for every engine as a
check that they did the same job.

Run (the peer is never a dependency of the package):

  python -m venv /tmp/benchenv
  /tmp/benchenv/bin/pip install -r bench/requirements.txt
  cmake -S . -B /tmp/build-bench && cmake --build /tmp/build-bench -j2
  PYTHONPATH=/tmp/build-bench /tmp/benchenv/bin/python bench/bench_dice.py

Options: --small uses a 96^3 volume with 200 seeds and 24^3 chunks;
--repeats N (default 3) for tarna; --peer-repeats N (default 1);
--peer-subset K (default 1: every object).
"""

from __future__ import annotations

import argparse
import gc
import time

import numpy as np

# The dense volume of the extraction benchmark, built the same way from the same seed.
from bench_extract import SEED, voronoi  # noqa: E402


def extract_meshes(labels: np.ndarray) -> list[tuple[np.ndarray, np.ndarray]]:
    import tarna_mesh

    mesher = tarna_mesh.Mesher(threads=0)
    mesher.mesh(labels)
    meshes = []
    for label in mesher.ids():
        vertices, faces, _ = mesher.get(int(label))
        if len(faces):
            meshes.append((vertices, faces))
    return meshes


def area(vertices: np.ndarray, faces: np.ndarray) -> float:
    corners = vertices.astype(np.float64)[faces]
    return float(
        np.linalg.norm(np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]), axis=1).sum() / 2
    )


# ---------------------------------------------------------------- engines
#
# Each engine takes the meshes and the grid and returns (faces out, total area out).


def run_tarna(meshes, chunk, origin, size, bits):
    import tarna_mesh

    faces_out = 0
    results = []
    for vertices, faces in meshes:
        cells = tarna_mesh.dice(vertices, faces, chunk, origin, size, quantization_bits=bits)
        results.append(cells)
        faces_out += sum(len(cell_faces) for _, cell_faces in cells.values())
    return faces_out, results


def tarna_area(results, chunk, bits) -> float:
    total = 0.0
    for cells in results:
        for _, (vertices, faces) in cells.items():
            points = vertices if bits is None else vertices * (np.asarray(chunk, np.float32) / (2**bits - 1))
            total += area(points, faces)
    return total


def slab_planes(low: float, high: float, chunk: float, origin: float, cells: int):
    """Interior plane indices k (1 .. cells-1) strictly between low and high."""
    first = max(1, int(np.floor((low - origin) / chunk)) + 1)
    last = min(cells - 1, int(np.ceil((high - origin) / chunk)) - 1)
    return range(first, last + 1)


def cut_axis(piece, axis, chunk, origin, cells, crossed_only):
    """The piece split along the interior planes of `axis`, one mesh per slab between two planes.

    Every interior plane by default; with `crossed_only`, only the planes the piece's bounding
    box crosses, and a piece inside one slab is passed on without a call.
    """
    from trimesh.intersections import slice_mesh_plane

    if crossed_only:
        bounds = piece.bounds
        planes = slab_planes(bounds[0][axis], bounds[1][axis], chunk[axis], origin[axis], cells[axis])
        if len(planes) == 0:
            return [piece]
    else:
        planes = range(1, cells[axis])
    positions = [origin[axis] + k * chunk[axis] for k in planes]
    unit = np.zeros(3)
    unit[axis] = 1.0
    pieces = []
    for slab in range(len(positions) + 1):
        normals, points = [], []
        if slab > 0:  # keep what lies above the slab's lower plane
            normals.append(unit)
            points.append(unit * positions[slab - 1])
        if slab < len(positions):  # and below its upper plane
            normals.append(-unit)
            points.append(unit * positions[slab])
        if not normals:
            pieces.append(piece)
            continue
        part = slice_mesh_plane(piece, plane_normal=np.array(normals), plane_origin=np.array(points), cap=False)
        if part is not None and len(part.faces):
            pieces.append(part)
    return pieces


def run_trimesh(meshes, chunk, origin, size, crossed_only):
    import trimesh

    faces_out = 0
    results = []
    for vertices, faces in meshes:
        pieces = [trimesh.Trimesh(vertices=vertices, faces=faces, process=False)]
        for axis in range(3):
            pieces = [part for piece in pieces for part in cut_axis(piece, axis, chunk, origin, size, crossed_only)]
        results.append(pieces)
        faces_out += sum(len(piece.faces) for piece in pieces)
    return faces_out, results


def trimesh_area(results) -> float:
    return sum(float(piece.area) for pieces in results for piece in pieces)


def best(run, repeats):
    seconds = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        outcome = run()
        seconds = min(seconds, time.perf_counter() - start)
    return seconds, outcome


# ---------------------------------------------------------------- main


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--peer-repeats", type=int, default=1)
    parser.add_argument("--peer-subset", type=int, default=1, metavar="K", help="time trimesh on every K-th object")
    args = parser.parse_args(argv)

    size, objects, chunk_edge = (96, 200, 24) if args.small else (256, 2000, 64)
    start = time.perf_counter()
    labels = voronoi(size, objects, np.random.default_rng(SEED))
    built = time.perf_counter()
    meshes = extract_meshes(labels)
    extracted = time.perf_counter()
    top = np.max([vertices.max(axis=0) for vertices, _ in meshes], axis=0)
    chunk = (float(chunk_edge),) * 3
    origin = (0.0, 0.0, 0.0)
    grid = tuple(int(np.floor(top[axis] / chunk_edge)) + 1 for axis in range(3))
    faces_in = sum(len(faces) for _, faces in meshes)
    print(
        f"volume {size}^3 uint32, Voronoi of {objects} seeds: built in {built - start:.1f} s, "
        f"{len(meshes)} objects meshed and read in {extracted - built:.1f} s, {faces_in:,} triangles"
    )
    print(f"grid: chunk_shape {chunk}, grid_origin {origin}, grid_size {grid}")

    rows = []
    for name, bits in (("tarna", None), ("tarna bits=10", 10)):
        seconds, (faces_out, results) = best(lambda: run_tarna(meshes, chunk, origin, grid, bits), args.repeats)
        rows.append((name, f"all {len(meshes)}", faces_in, faces_out, seconds, tarna_area(results, chunk, bits)))
        del results

    subset = meshes[:: args.peer_subset]
    subset_in = sum(len(faces) for _, faces in subset)
    scope = f"all {len(subset)}" if args.peer_subset == 1 else f"every {args.peer_subset}th: {len(subset)}"
    peers = (("trimesh, every plane", False), ("trimesh, crossed planes", True))
    for name, crossed_only in peers:
        seconds, (faces_out, results) = best(
            lambda: run_trimesh(subset, chunk, origin, grid, crossed_only), args.peer_repeats
        )
        rows.append((name, scope, subset_in, faces_out, seconds, trimesh_area(results)))
        del results
    if args.peer_subset != 1:
        # The same subset through tarna, for an area check on equal work.
        _, (_, subset_results) = best(lambda: run_tarna(subset, chunk, origin, grid, None), 1)
        print(f"subset area through tarna: {tarna_area(subset_results, chunk, None):,.1f}")
    input_area = sum(area(vertices, faces) for vertices, faces in meshes)

    print(
        f"\n{'engine':26} {'objects':>16} {'tri in':>11} {'tri out':>11} {'best s':>9} "
        f"{'Mtri/s in':>10} {'Mtri/s out':>11} {'area out':>13}"
    )
    for name, scope, tri_in, tri_out, secs, total_area in rows:
        print(
            f"{name:26} {scope:>16} {tri_in:11,} {tri_out:11,} {secs:9.3f} "
            f"{tri_in / secs / 1e6:10.3f} {tri_out / secs / 1e6:11.3f} {total_area:13,.1f}"
        )
    print(f"input area (all objects): {input_area:,.1f}")
    for peer, peer_scope, peer_in, _, peer_seconds, _ in rows[2:]:
        for name, _, tri_in, _, secs, _ in rows[:2]:
            print(f"{name} / {peer}, triangles in per second: {tri_in / secs / (peer_in / peer_seconds):.1f}x")
    if args.peer_subset != 1:
        print(f"(trimesh timed on a fixed subset, every {args.peer_subset}th object; rates are per triangle)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
