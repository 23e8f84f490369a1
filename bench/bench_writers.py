"""Writer benchmark: trimesh's exporters against tarna_mesh.io's NumPy writers.

Meshes the dense 256^3 Voronoi volume of bench_extract.py (2,000 objects) with close=True and
times writing every object to its own file: trimesh.Trimesh(..., process=False).export() per
format (on the first 400 objects, extrapolated to all), and tarna_mesh.io's PLY, OBJ and STL
writers on every object. The figures decided which formats are written with NumPy.

  PYTHONPATH=<build dir> python bench/bench_writers.py [--size 256] [--objects 2000]
"""

import argparse
import os
import tempfile
import time

import numpy as np


def dense_volume(size, objects):
    from tarna_mesh import demo

    rng = np.random.default_rng(1)
    seeds = rng.uniform(0, size - 1, size=(objects, 3))
    return demo.nearest_seed(size, seeds, (size - 1) / 2, 10.0 * size)  # a radius that clips nothing


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=256)
    parser.add_argument("--objects", type=int, default=2000)
    parser.add_argument("--sample", type=int, default=400, help="objects written with trimesh")
    args = parser.parse_args()
    import trimesh
    from tarna_mesh import Mesher
    from tarna_mesh.io import write_mesh

    labels = dense_volume(args.size, args.objects)
    mesher = Mesher(threads=0)
    start = time.perf_counter()
    mesher.mesh(labels, close=True)
    print(f"mesh: {time.perf_counter() - start:.2f} s")
    meshes = [(label, *mesher.get(label, normals=True)) for label in mesher.ids().tolist()]
    folder = tempfile.mkdtemp()
    for fmt in ("ply", "stl", "obj", "glb"):
        start = time.perf_counter()
        for label, vertices, faces, normals in meshes[: args.sample]:
            mesh = trimesh.Trimesh(vertices, faces, vertex_normals=normals, process=False)
            mesh.export(os.path.join(folder, f"t{label}.{fmt}"))
        elapsed = (time.perf_counter() - start) * len(meshes) / min(args.sample, len(meshes))
        print(f"trimesh {fmt}: {elapsed:.2f} s")
    for fmt in ("ply", "stl", "obj"):
        start = time.perf_counter()
        for label, vertices, faces, normals in meshes:
            write_mesh(os.path.join(folder, f"n{label}.{fmt}"), vertices, faces, normals)
        print(f"tarna_mesh.io {fmt}: {time.perf_counter() - start:.2f} s")


if __name__ == "__main__":
    main()
