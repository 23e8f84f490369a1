"""Block-wise meshing: equality with the whole-volume mesh, and a large zarr volume.

python bench/bench_blockwise.py equality [--size 256]
    A dense Voronoi volume of about 2,000 objects and an irregular watershed-like one, meshed
    whole and block-wise (blocks of 64^3, 100 x 70 x 50, and one block; with and without
    close; threaded scheduler and a two-worker LocalCluster): objects whose triangles, bit
    for bit, and vertex counts match the whole volume's.

python bench/bench_blockwise.py large --size 1024 [--block 128] [--spacing 32] [--keep]
    Writes a dense zarr volume of size^3 labels chunk by chunk (bricks of about spacing^3
    voxels with wavy walls), meshes it block-wise on a two-worker LocalCluster into a folder of
    PLY files, and reports wall time, blocks per second, and the peak memory of the driver
    and of each worker process (sampled every 0.2 s).
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import resource
import shutil
import sys
import tempfile
import threading
import time

import numpy as np
from tarna_mesh import Mesher, demo
from tarna_mesh.blockwise import mesh_blockwise


def triangle_rows(vertices, faces):
    corners = vertices[faces]
    first = np.lexsort((corners[:, :, 2], corners[:, :, 1], corners[:, :, 0]), axis=-1)[:, 0]
    rotated = corners[np.arange(len(faces))[:, None], (first[:, None] + np.arange(3)) % 3].reshape(-1, 9)
    return rotated[np.lexsort(rotated.T[::-1])]


def watershed_like(size, count, seed=1):
    rng = np.random.default_rng(seed)
    coarse = rng.integers(1, count + 1, size=(-(-size // 6),) * 3).astype(np.uint32)
    labels = coarse.repeat(6, 0).repeat(6, 1).repeat(6, 2)[:size, :size, :size].copy()
    for axis in range(3):
        swap = rng.random(labels.shape) < 0.3
        labels[swap] = np.roll(labels, 1, axis=axis)[swap]
    labels[rng.random(labels.shape) < 0.002] = count + 1
    return labels


def equality(size):
    from distributed import Client, LocalCluster

    volumes = {"dense": demo.sample_volume(size, 2000).astype(np.uint32), "watershed": watershed_like(size, 2000)}
    rows = []
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=40
        ) as cluster,
        Client(cluster) as client,
    ):
        for name, labels in volumes.items():
            for close in (False, True):
                whole = Mesher(threads=0)
                whole.mesh(labels, close=close)
                expected = {}
                for label in whole.ids().tolist():
                    vertices, faces, _ = whole.get(label)
                    if len(faces):
                        expected[label] = (triangle_rows(vertices, faces), len(vertices))
                for block, where in itertools.product(
                    [(64, 64, 64), (100, 70, 50), (size,) * 3], ["threads", "cluster"]
                ):
                    started = time.perf_counter()
                    options = {"client": client} if where == "cluster" else {"scheduler": "threads"}
                    result = mesh_blockwise(labels, block_shape=block, close=close, **options)
                    seconds = time.perf_counter() - started
                    same_triangles = sum(
                        np.array_equal(triangle_rows(v, f), expected[label][0])
                        for label, (v, f, _) in result.items()
                        if label in expected
                    )
                    same_vertices = sum(
                        len(v) == expected[label][1] for label, (v, f, _) in result.items() if label in expected
                    )
                    row = {
                        "volume": name,
                        "close": close,
                        "block": block,
                        "on": where,
                        "objects": len(expected),
                        "labels_match": sorted(result) == sorted(expected),
                        "same_triangles": same_triangles,
                        "same_vertex_count": same_vertices,
                        "seconds": round(seconds, 2),
                    }
                    rows.append(row)
                    print(json.dumps(row), flush=True)
    return rows


def write_dense_zarr(path, size, chunk, spacing):
    """Dense labels, written chunk by chunk: bricks of about spacing^3 voxels whose walls wave
    (each coordinate shifted by a smooth function of the other two), so that walls meet at
    irregular angles and three or four objects meet along lines and at points."""
    import zarr

    cubes = size // spacing + 3
    array = zarr.create_array(path, shape=(size,) * 3, chunks=(chunk,) * 3, dtype=np.uint32)
    amplitude, wavelength = spacing / 3, 2.3 * spacing

    def shift(u, v, phase):
        return (
            amplitude
            * np.sin(2 * np.pi * u / wavelength + phase)
            * np.cos(2 * np.pi * v / (1.3 * wavelength) + 2 * phase)
        )

    def write_chunk(start):
        stop = [min(s + chunk, size) for s in start]
        x, y, z = np.meshgrid(
            *[np.arange(s, e, dtype=np.float32) for s, e in zip(start, stop)], indexing="ij", sparse=True
        )
        ix = ((x + shift(y, z, 0.0)) // spacing + 1).astype(np.int64)
        iy = ((y + shift(z, x, 1.0)) // spacing + 1).astype(np.int64)
        iz = ((z + shift(x, y, 2.0)) // spacing + 1).astype(np.int64)
        array[start[0] : stop[0], start[1] : stop[1], start[2] : stop[2]] = ((ix * cubes + iy) * cubes + iz).astype(
            np.uint32
        )

    from concurrent.futures import ThreadPoolExecutor

    with ThreadPoolExecutor(os.cpu_count()) as pool:
        list(pool.map(write_chunk, itertools.product(range(0, size, chunk), repeat=3)))
    return array


class PeakMemory:
    """Peak resident memory of some processes, sampled in a thread."""

    def __init__(self, pids):
        import psutil

        self.processes = {pid: psutil.Process(pid) for pid in pids}
        self.peaks = dict.fromkeys(pids, 0)
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.done.wait(0.2):
            for pid, process in self.processes.items():
                try:
                    self.peaks[pid] = max(self.peaks[pid], process.memory_info().rss)
                except Exception:
                    pass

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.peaks


def large(size, block, spacing, keep):
    from distributed import Client, LocalCluster

    folder = tempfile.mkdtemp(prefix="tarna-bench-", dir=os.environ.get("BENCH_DIR"))
    try:
        started = time.perf_counter()
        volume = write_dense_zarr(os.path.join(folder, "labels.zarr"), size, 128, spacing)
        written = time.perf_counter() - started
        print(f"wrote {size}^3 zarr in {written:.1f} s", flush=True)
        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                memory_limit="8GiB",
                silence_logs=40,
            ) as cluster,
            Client(cluster) as client,
        ):
            workers = list(client.run(os.getpid).values())
            sampler = PeakMemory([os.getpid(), *workers])
            started = time.perf_counter()
            records = mesh_blockwise(
                volume, os.path.join(folder, "meshes"), block_shape=(block,) * 3, client=client, scratch=folder
            )
            seconds = time.perf_counter() - started
            peaks = sampler.stop()
        blocks = -((-(size - 1) // block) ** 3)
        report = {
            "size": size,
            "block": block,
            "objects": len(records),
            "blocks": blocks,
            "seconds": round(seconds, 1),
            "blocks_per_second": round(blocks / seconds, 2),
            "triangles": int(sum(r["faces"] for r in records)),
            "closed": int(sum(r["closed"] for r in records)),
            "driver_peak_mib": round(peaks[os.getpid()] / 2**20),
            "driver_maxrss_mib": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024),
            "worker_peak_mib": [round(peaks[pid] / 2**20) for pid in workers],
            "output_gib": round(
                sum(os.path.getsize(os.path.join(folder, "meshes", r["file"])) for r in records) / 2**30, 2
            ),
        }
        print(json.dumps(report), flush=True)
        return report
    finally:
        if not keep:
            shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["equality", "large"])
    parser.add_argument("--size", type=int, default=None)
    parser.add_argument("--block", type=int, default=128)
    parser.add_argument("--spacing", type=int, default=32)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    if args.what == "equality":
        rows = equality(args.size or 256)
        bad = [row for row in rows if not row["labels_match"] or row["same_triangles"] != row["objects"]]
        print(f"{len(rows)} runs, {len(bad)} with differing triangles")
        return 1 if bad else 0
    large(args.size or 1024, args.block, args.spacing, args.keep)
    return 0


if __name__ == "__main__":
    sys.exit(main())
