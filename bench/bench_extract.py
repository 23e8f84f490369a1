"""Extraction benchmark: tarna_mesh against vtkSurfaceNets3D and skimage marching_cubes.

Everything runs in one process on volumes built here, deterministically:

  dense     256^3 uint32, a Voronoi partition into about 2,000 objects filling the volume
  watershed 256^3 uint32, a watershed of smoothed noise: about 5,000 irregular,
            interleaved objects filling the volume
  dense512  512^3 uint32 and uint64, a Voronoi partition into about 16,000 objects
            (larger than every cache)
  chunks    20 different 128^3 uint32 dense chunks meshed one after another on one
            Mesher (one vtkSurfaceNets3D filter), the block-wise case: time per chunk
  sparse    512^3 uint8, a few dozen blobs on background
  empty     512^3 all background        (uint8 and uint32)
  full      512^3 all one label         (uint8 and uint32)

Figures: best-of-N wall time of one extraction, cells per second (cells are the
(n-1)^3 cubes between voxel centres, the same count for every engine), speed-up
from one thread to two and to all cores, peak resident memory of the extraction
over the size of the input (one subprocess per configuration, baseline taken
after the volume is loaded), the cost of reading every object out with
`get()` against `mesh()`, and on the uniform volumes `mesh()` against one
streaming read of the array (`labels.max()`). Timings of the engines are
interleaved repeat by repeat, so a noisy neighbour hurts them alike.

Peers, configured to do the same job as `Mesher.mesh(labels)`:
  vtkSurfaceNets3D with smoothing off, every label present selected, all
  labels at once; "Sequential" SMP backend for one thread, "STDThread" with the
  same thread count for all cores.
  skimage.measure.marching_cubes once per label on a boolean mask (level 0.5),
  on the whole volume as written in most scripts, and on the label's bounding
  box (padded by one voxel) found by scipy.ndimage.find_objects, which is the
  faster way to use it. On the dense volume only a fixed subset of labels is
  run and the time is extrapolated to every label (the table says so).

Neither engine closes objects at the volume's edge here (`close=False`).

Run (the peers are never dependencies of the package):

  python -m venv /tmp/benchenv
  /tmp/benchenv/bin/pip install -r bench/requirements.txt
  cmake -S . -B /tmp/build-bench && cmake --build /tmp/build-bench -j2
  PYTHONPATH=/tmp/build-bench /tmp/benchenv/bin/python bench/bench_extract.py

Options: --small shrinks every volume for a quick check; --repeats N (default 3);
--engines tarna,vtk,skimage picks the engines (the peers alone work without the
extension); --volumes dense,sparse,uniform picks the volumes; --no-memory skips
the subprocess memory measurements.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

SEED = 1234
SKIMAGE_DENSE_SUBSET = 50


# ---------------------------------------------------------------- volumes


@dataclass
class Volume:
    name: str
    labels: np.ndarray
    note: str
    ids: np.ndarray = field(default=None)

    def __post_init__(self):
        if self.ids is None:
            present = np.unique(self.labels)
            self.ids = present[present != 0]

    @property
    def cells(self) -> int:
        return int(np.prod([max(extent - 1, 0) for extent in self.labels.shape]))

    @property
    def uniform(self) -> bool:
        return self.name.startswith(("empty", "full"))


def filled(shape, value, dtype) -> np.ndarray:
    """An array with every page written.

    note: np.zeros leaves untouched pages mapped to the kernel's shared zero
    page, which reads from cache; a benchmark over it measures no memory traffic.
    """
    array = np.empty(shape, dtype)
    array.fill(value)
    return array


def voronoi(size: int, objects: int, rng: np.random.Generator) -> np.ndarray:
    from scipy import ndimage

    seeds = np.zeros((size,) * 3, dtype=np.uint32)
    flat = rng.choice(size**3, objects, replace=False)
    seeds.ravel()[flat] = np.arange(1, objects + 1, dtype=np.uint32)
    nearest = ndimage.distance_transform_edt(seeds == 0, return_distances=False, return_indices=True)
    return seeds[tuple(nearest)]


def watershed(size: int, sigma: float, rng: np.random.Generator) -> np.ndarray:
    """Every voxel in the basin of a local minimum of smoothed noise: irregular objects."""
    from scipy import ndimage
    from skimage.segmentation import watershed as flood

    noise = ndimage.gaussian_filter(rng.standard_normal((size,) * 3, dtype=np.float32), sigma)
    markers, _ = ndimage.label(noise == ndimage.minimum_filter(noise, size=5))
    return flood(noise, markers).astype(np.uint32)


def blobs(size: int, count: int, rng: np.random.Generator) -> np.ndarray:
    """Background with `count` blobs, each a union of three overlapping balls."""
    labels = filled((size,) * 3, 0, np.uint8)
    for label in range(1, count + 1):
        radius = rng.uniform(0.03, 0.08) * size
        centre = rng.uniform(0.15 * size, 0.85 * size, 3)
        balls = [(centre + rng.normal(0, radius * 0.6, 3), radius * rng.uniform(0.6, 1.0)) for _ in range(3)]
        low = np.clip(np.floor(np.min([c - r for c, r in balls], axis=0)), 0, size).astype(int)
        high = np.clip(np.ceil(np.max([c + r for c, r in balls], axis=0)) + 1, 0, size).astype(int)
        axes = [np.arange(low[k], high[k], dtype=np.float64) for k in range(3)]
        inside = np.zeros(tuple(high - low), dtype=bool)
        for ball_centre, ball_radius in balls:
            d = [(axes[k] - ball_centre[k]) ** 2 for k in range(3)]
            inside |= d[0][:, None, None] + d[1][None, :, None] + d[2][None, None, :] <= ball_radius**2
        region = labels[low[0] : high[0], low[1] : high[1], low[2] : high[2]]
        region[inside] = label
    return labels


VOLUME_KINDS = ("dense", "watershed", "dense512", "chunks", "sparse", "uniform")
CHUNKS = 20


def build_volumes(small: bool, kinds=VOLUME_KINDS) -> list[Volume]:
    dense_size, dense_objects = (96, 200) if small else (256, 2000)
    sparse_size, sparse_blobs = (128, 12) if small else (512, 40)
    uniform_size = 128 if small else 512
    volumes = []
    # One generator per volume, so each volume is the same whichever others are built.
    if "dense" in kinds:
        labels = voronoi(dense_size, dense_objects, np.random.default_rng(SEED))
        volumes.append(Volume("dense", labels, f"Voronoi, {dense_objects} seeds"))
    if "watershed" in kinds:
        size, sigma = (96, 2.0) if small else (256, 3.5)
        labels = watershed(size, sigma, np.random.default_rng(SEED + 2))
        volumes.append(Volume("watershed", labels, f"watershed of noise smoothed over {sigma} voxels"))
    if "dense512" in kinds:
        size, objects = (128, 500) if small else (512, 16000)
        labels = voronoi(size, objects, np.random.default_rng(SEED + 3))
        volumes.append(Volume("dense512-uint32", labels, f"Voronoi, {objects} seeds"))
        volumes.append(
            Volume(
                "dense512-uint64",
                labels.astype(np.uint64) * 1000003,
                f"Voronoi, {objects} seeds, labels spread over 64 bits",
            )
        )
    if "sparse" in kinds:
        labels = blobs(sparse_size, sparse_blobs, np.random.default_rng(SEED + 1))
        volumes.append(Volume("sparse", labels, f"{sparse_blobs} blobs on background"))
    if "uniform" in kinds:
        for dtype in (np.uint8, np.uint32):
            name = np.dtype(dtype).name
            volumes.append(Volume(f"empty-{name}", filled((uniform_size,) * 3, 0, dtype), "all background"))
            volumes.append(Volume(f"full-{name}", filled((uniform_size,) * 3, 7, dtype), "all label 7"))
    return volumes


# ---------------------------------------------------------------- engines
#
# Each engine configuration is a (prepare, run) pair: prepare() does the untimed
# set-up and returns a callable whose call is the timed extraction.


def tarna_config(threads: int):
    from tarna_mesh import Mesher

    mesher = Mesher(threads=threads)

    def prepare(volume: Volume):
        mesher.clear()
        return lambda: mesher.mesh(volume.labels)

    return mesher, prepare


def vtk_image(labels: np.ndarray):
    from vtkmodules.util.numpy_support import numpy_to_vtk
    from vtkmodules.vtkCommonDataModel import vtkImageData

    image = vtkImageData()
    # VTK runs x fastest: the array's last axis is VTK's x.
    image.SetDimensions(labels.shape[2], labels.shape[1], labels.shape[0])
    scalars = numpy_to_vtk(labels.reshape(-1), deep=False)
    scalars.SetName("labels")
    image.GetPointData().SetScalars(scalars)
    return image, scalars


def vtk_config(threads: int, smoothing_iterations: int = 0):
    """vtkSurfaceNets3D on `threads` threads over every label of a volume, its built-in smoothing
    on for `smoothing_iterations` iterations (off at 0)."""
    from vtkmodules.vtkCommonCore import vtkSMPTools
    from vtkmodules.vtkFiltersCore import vtkSurfaceNets3D

    cache = {}

    def prepare(volume: Volume):
        if threads == 1:
            vtkSMPTools.SetBackend("Sequential")
        else:
            vtkSMPTools.SetBackend("STDThread")
            vtkSMPTools.Initialize(threads)
        if cache.get("name") != volume.name:
            cache.clear()
            cache["name"] = volume.name
            cache["image"] = vtk_image(volume.labels)
        nets = vtkSurfaceNets3D()
        nets.SetInputData(cache["image"][0])
        if smoothing_iterations:
            nets.SmoothingOn()
        else:
            nets.SmoothingOff()
        nets.SetNumberOfIterations(smoothing_iterations)
        nets.DataCachingOff()
        nets.SetBackgroundLabel(0)
        # With no label selected the filter returns at once; an absent label
        # makes it scan the volume as Mesher.mesh() must.
        selected = volume.ids if len(volume.ids) else np.array([1])
        nets.SetNumberOfLabels(len(selected))
        for index, label in enumerate(selected):
            nets.SetValue(index, float(label))
        cache["filter"] = nets
        return nets.Update

    return prepare


def skimage_labels(volume: Volume) -> tuple[np.ndarray, bool]:
    """Labels to run marching_cubes on, and whether they are a subset to extrapolate from."""
    if volume.name != "sparse" and len(volume.ids) > SKIMAGE_DENSE_SUBSET:
        picked = np.random.default_rng(SEED).choice(volume.ids, SKIMAGE_DENSE_SUBSET, replace=False)
        return np.sort(picked), True
    return volume.ids, False


def skimage_whole(volume: Volume):
    from skimage.measure import marching_cubes

    labels, _ = skimage_labels(volume)

    def run():
        for label in labels:
            marching_cubes(volume.labels == label, level=0.5)

    return run


def skimage_cropped(volume: Volume):
    from scipy import ndimage
    from skimage.measure import marching_cubes

    labels, _ = skimage_labels(volume)

    def run():
        boxes = ndimage.find_objects(volume.labels)
        for label in labels:
            box = boxes[int(label) - 1]
            # One voxel of margin keeps the mesh identical to the whole-volume one.
            box = tuple(slice(max(s.start - 1, 0), s.stop + 1) for s in box)
            marching_cubes(volume.labels[box] == label, level=0.5)

    return run


def chunk_volumes(small: bool) -> list[np.ndarray]:
    """Different dense chunks of one size, as a block-wise run meets them."""
    size, objects = (48, 30) if small else (128, 250)
    return [voronoi(size, objects, np.random.default_rng(SEED + 100 + k)) for k in range(CHUNKS)]


def chunk_runs(chunks: list[np.ndarray], threads: int, all_cores: int) -> dict[str, object]:
    """One callable per engine that meshes every chunk in turn, reusing one engine object."""
    from tarna_mesh import Mesher

    mesher = Mesher(threads=threads)
    runs = {"tarna": lambda: [mesher.mesh(chunk) for chunk in chunks]}
    try:
        prepare = vtk_config(threads)
    except ImportError:
        return runs
    volumes = [Volume(f"chunk-{k}", chunk, "") for k, chunk in enumerate(chunks)]
    # A block-wise user sets each chunk up and runs it; the set-up (wrapping the chunk without a
    # copy, selecting its labels) is part of the time, as building a Mesher is not for tarna.
    runs["vtk"] = lambda: [prepare(volume)() for volume in volumes]
    return runs


# ---------------------------------------------------------------- memory


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def child_memory(path: str, engine: str, threads: int) -> None:
    """Runs in a subprocess: one extraction, printing its peak memory above the loaded volume."""
    labels = np.load(path)
    volume = Volume(os.path.basename(path), labels, "")
    if engine == "tarna":
        _, prepare = tarna_config(threads)
    else:
        prepare = vtk_config(threads)
    # A first run on a tiny volume pages in the engine's code and one-off state.
    tiny = np.zeros((8, 8, 8), labels.dtype)
    tiny[2:5, 2:5, 2:5] = 1
    prepare(Volume("warm-up", tiny, ""))()
    run = prepare(volume)
    gc.collect()
    # Imports and loading leave a high-water mark of their own; reset it to the
    # current size so the peak below belongs to the extraction alone.
    # note: ru_maxrss is no use after the reset: it also keeps the parent's
    # peak, inherited through the vfork that started this process.
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        baseline = status_kib("VmRSS")
        run()
        peak = status_kib("VmHWM")
    except OSError:
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        run()
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"extra_bytes": (peak - baseline) * 1024, "input_bytes": labels.nbytes}))


def measure_memory(path: str, engine: str, threads: int) -> float | None:
    done = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child-memory", path, engine, str(threads)],
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        print(f"  memory child {engine} threads={threads} failed:\n{done.stderr}", file=sys.stderr)
        return None
    report = json.loads(done.stdout.strip().splitlines()[-1])
    return report["extra_bytes"] / report["input_bytes"]


# ---------------------------------------------------------------- timing


class OtherLoad:
    """CPU time spent by other processes since construction.

    The machine may be shared; a figure taken while something else ran is worth
    less, and the report says how much else ran.
    """

    def __init__(self):
        self.busy, self.own, self.wall = self.busy_seconds(), self.own_seconds(), time.perf_counter()

    @staticmethod
    def busy_seconds() -> float:
        with open("/proc/stat") as stat:
            fields = [int(value) for value in stat.readline().split()[1:]]
        # user nice system idle iowait irq softirq steal ...: all but idle and iowait
        return (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def own_seconds() -> float:
        times = os.times()
        return times.user + times.system + times.children_user + times.children_system

    def report(self) -> str:
        others = (self.busy_seconds() - self.busy) - (self.own_seconds() - self.own)
        wall = time.perf_counter() - self.wall
        busy = max(others, 0)
        return f"other processes used {busy:.1f} CPU-s over {wall:.0f} s ({busy / wall:.2f} cores on average)"


def best_time(run, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def read_every_object(mesher, ids: list[int], normals: bool) -> None:
    for label in ids:
        mesher.get(label, normals=normals)


def interleaved(volume: Volume, configs: dict, repeats: int) -> dict[str, float]:
    """Best time per configuration, running every configuration once per repeat."""
    best = {name: float("inf") for name in configs}
    for _ in range(repeats):
        for name, prepare in configs.items():
            run = prepare(volume)
            gc.collect()
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


@dataclass
class Row:
    engine: str
    threads: str
    seconds: float
    cells: int
    note: str = ""
    memory: float | None = None

    @property
    def rate(self) -> float:
        return self.cells / self.seconds / 1e6 if self.seconds > 0 else float("inf")


def print_table(volume: Volume, rows: list[Row]) -> None:
    shape = "x".join(str(extent) for extent in volume.labels.shape)
    print(
        f"\n== {volume.name}: {shape} {volume.labels.dtype}, {volume.note}, "
        f"{len(volume.ids)} labels, {volume.labels.nbytes / 2**20:.0f} MiB"
    )
    print(f"{'engine':34} {'threads':>15} {'best s':>9} {'Mcells/s':>9} {'peak/input':>11}  note")
    for row in rows:
        memory = f"{row.memory:11.2f}" if row.memory is not None else f"{'-':>11}"
        print(f"{row.engine:34} {row.threads:>15} {row.seconds:9.4f} {row.rate:9.1f} {memory}  {row.note}")


# ---------------------------------------------------------------- main


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--small", action="store_true", help="shrink every volume for a quick check")
    parser.add_argument("--repeats", type=int, default=3, help="timed repeats per configuration (best is kept)")
    parser.add_argument("--engines", default="tarna,vtk,skimage", help="comma-separated: tarna, vtk, skimage")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    parser.add_argument(
        "--volumes",
        default=",".join(VOLUME_KINDS),
        help="comma-separated: dense, watershed, dense512 (uint32 and uint64), chunks, sparse, "
        "uniform (the four uniform volumes)",
    )
    parser.add_argument("--child-memory", nargs=3, metavar=("NPY", "ENGINE", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child_memory:
        path, engine, threads = args.child_memory
        child_memory(path, engine, int(threads))
        return 0

    engines = set(args.engines.split(","))
    repeats = max(1, args.repeats)
    all_cores = len(os.sched_getaffinity(0))
    if "tarna" in engines:
        import tarna_mesh

        all_cores = tarna_mesh.Mesher(threads=0).effective_threads
        print(f"tarna_mesh {getattr(tarna_mesh, '__version__', '?')} from {os.path.dirname(tarna_mesh.__file__)}")
    if "vtk" in engines:
        import vtkmodules

        print(f"vtk {vtkmodules.__version__}")
    if "skimage" in engines:
        import skimage

        print(f"scikit-image {skimage.__version__}")
    print(
        f"numpy {np.__version__}, python {sys.version.split()[0]}, {os.cpu_count()} cpus, "
        f"{all_cores} used for 'all cores', best of {repeats}"
    )

    start = time.perf_counter()
    kinds = set(args.volumes.split(","))
    if not kinds <= set(VOLUME_KINDS):
        parser.error(f"unknown volumes: {', '.join(sorted(kinds - set(VOLUME_KINDS)))}")
    volumes = build_volumes(args.small, kinds)
    print(f"volumes built in {time.perf_counter() - start:.1f} s")

    configs = {}
    meshers = {}
    if "tarna" in engines:
        for threads in (1, 2, 0):
            meshers[threads], configs[("tarna", threads)] = tarna_config(threads)
    if "vtk" in engines:
        configs[("vtk", 1)] = vtk_config(1)
        configs[("vtk", all_cores)] = vtk_config(all_cores)

    def thread_text(engine, threads):
        if engine == "tarna":
            return {1: "1", 2: "2 (pool)", 0: f"0 (={all_cores})"}[threads]
        return f"{threads} ({'Sequential' if threads == 1 else 'STDThread'})"

    findings = {}
    other_load = OtherLoad()
    scratch = tempfile.TemporaryDirectory(prefix="bench_extract_")
    for volume in volumes:
        rows = []
        volume_load = OtherLoad()
        times = interleaved(volume, configs, repeats)
        memory = {}
        if not args.no_memory and configs:
            path = os.path.join(scratch.name, f"{volume.name}.npy")
            np.save(path, volume.labels)
            for engine, threads in configs:
                if (engine, threads) in (("tarna", 2),) and all_cores == 2:
                    continue  # same thread count as threads=0 here
                memory[(engine, threads)] = measure_memory(path, engine, threads)
            os.remove(path)
        for (engine, threads), seconds in times.items():
            name = "tarna_mesh Mesher.mesh()" if engine == "tarna" else "vtkSurfaceNets3D"
            rows.append(
                Row(name, thread_text(engine, threads), seconds, volume.cells, memory=memory.get((engine, threads)))
            )
        findings[volume.name] = times

        if "skimage" in engines and not volume.uniform:
            picked, subset = skimage_labels(volume)
            scale = len(volume.ids) / len(picked)
            note = f"{len(picked)} of {len(volume.ids)} labels, time x{scale:.0f}" if subset else "every label"
            whole = best_time(skimage_whole(volume), 1) * scale
            cropped = best_time(skimage_cropped(volume), min(repeats, 2)) * scale
            rows.append(Row("skimage marching_cubes, whole mask", "1", whole, volume.cells, note))
            rows.append(Row("skimage marching_cubes, bbox mask", "1", cropped, volume.cells, note))

        print_table(volume, rows)

        if "tarna" in engines:
            t1, t2, t0 = times[("tarna", 1)], times[("tarna", 2)], times[("tarna", 0)]
            print(f"  tarna_mesh speed-up: 1->2 threads {t1 / t2:.2f}x, 1->all cores {t1 / t0:.2f}x")
            if "vtk" in engines:
                v1, v0 = times[("vtk", 1)], times[("vtk", all_cores)]
                print(
                    f"  tarna_mesh / vtkSurfaceNets3D throughput: 1 thread {v1 / t1:.2f}x, "
                    f"all cores {v0 / t0:.2f}x; vtk's own speed-up 1->all {v1 / v0:.2f}x"
                )
            if volume.uniform:
                read = best_time(volume.labels.max, max(repeats, 5))
                findings[volume.name]["read"] = read
                print(
                    f"  streaming read labels.max(): {read:.4f} s; mesh()/read: "
                    f"1 thread {t1 / read:.2f}x, all cores {t0 / read:.2f}x"
                )
            elif len(volume.ids):
                mesher = meshers[1]
                mesher.mesh(volume.labels)
                ids = [int(label) for label in mesher.ids()]
                plain = best_time(functools.partial(read_every_object, mesher, ids, False), min(repeats, 2))
                shaded = best_time(functools.partial(read_every_object, mesher, ids, True), min(repeats, 2))
                triangles = sum(len(mesher.get(label)[1]) for label in ids)
                print(
                    f"  get() of all {len(ids)} objects ({triangles:,} triangles): {plain:.4f} s "
                    f"({plain / t1:.2f}x mesh() at 1 thread), with normals {shaded:.4f} s ({shaded / t1:.2f}x)"
                )
                mesher.clear()
        print(f"  {volume_load.report()}")
        sys.stdout.flush()

    chunk_ratios = {}
    if "chunks" in kinds and "tarna" in engines:
        chunks = chunk_volumes(args.small)
        shape = "x".join(str(extent) for extent in chunks[0].shape)
        print(f"\n== chunks: {len(chunks)} different {shape} uint32 Voronoi chunks meshed in a row, time per chunk")
        for threads in (1, all_cores):
            runs = chunk_runs(chunks, threads if threads > 1 else 1, all_cores)
            best = {name: float("inf") for name in runs}
            for _ in range(repeats):
                for name, run in runs.items():
                    gc.collect()
                    start = time.perf_counter()
                    run()
                    best[name] = min(best[name], time.perf_counter() - start)
            line = "  ".join(f"{name} {best[name] / len(chunks) * 1000:.2f} ms" for name in runs)
            if "vtk" in best:
                chunk_ratios[threads] = best["vtk"] / best["tarna"]
                line += f"  (tarna {chunk_ratios[threads]:.2f}x vtk's throughput)"
            print(f"  threads {threads}: {line}")

    print(f"\n{other_load.report()}")
    if "tarna" in engines:
        checks = []
        for name in ("dense", "watershed", "dense512-uint32", "dense512-uint64"):
            if name not in findings:
                continue
            times = findings[name]
            speedup = times[("tarna", 1)] / times[("tarna", 2)]
            if "vtk" in engines:
                vs_vtk_1 = times[("vtk", 1)] / times[("tarna", 1)]
                vs_vtk_all = times[("vtk", all_cores)] / times[("tarna", 0)]
                checks.append((f"{name}: >= 3x vtkSurfaceNets3D at 1 thread", vs_vtk_1, vs_vtk_1 >= 3))
                checks.append(
                    (f"{name}: >= 3x vtkSurfaceNets3D at all cores ({all_cores})", vs_vtk_all, vs_vtk_all >= 3)
                )
            checks.append((f"{name}: >= 1.85x speed-up from 1 to 2 threads", speedup, speedup >= 1.85))
        for threads, ratio in chunk_ratios.items():
            checks.append((f"chunks: >= 3x vtkSurfaceNets3D per chunk at {threads} thread(s)", ratio, ratio >= 3))
        print("\n== targets")
        for name, times in findings.items():
            if "read" in times:
                # labels.max() reads on one thread: the one-thread figure compares like with like.
                for threads, text in ((1, "1 thread"), (0, "all cores")):
                    ratio = times[("tarna", threads)] / times["read"]
                    checks.append((f"{name}: mesh() at {text} within 3x of labels.max()", ratio, ratio <= 3))
        for text, value, met in checks:
            print(f"  {'met   ' if met else 'MISSED'} {text}: {value:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
