"""Smoothing benchmark: the cost of each tarna_mesh smoothing method next to extraction, and
against vtkSurfaceNets3D's built-in smoothing.

Volume: the dense benchmark volume of bench_extract.py (256^3 uint32, a Voronoi partition into
about 2,000 objects; --small: 96^3, 200 objects), meshed without `close`.

Figures, best of N with every configuration run once per repeat (interleaved, so a noisy
neighbour hurts all alike), at 1 thread and at all cores:
  extraction       Mesher.mesh() with no smoothing
  <method> x10     Mesher.mesh() with 10 iterations of relaxation, taubin or fairing
  cost/iteration   (with smoothing - without) / 10
  vtk              vtkSurfaceNets3D with SmoothingOn and 10 iterations, minus the same filter
                   with SmoothingOff, over 10; "Sequential" SMP backend for one thread,
                   "STDThread" with the same thread count for all cores
Targets: every method's cost per iteration is at most a tenth of the extraction time and at
least 3x below VTK's smoothing cost per iteration.

Run (the peers are never dependencies of the package):

  cmake -S . -B /tmp/build-bench && cmake --build /tmp/build-bench -j2
  PYTHONPATH=/tmp/build-bench /tmp/benchenv/bin/python bench/bench_smooth.py [--small] [--repeats N]
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
from bench_extract import OtherLoad, build_volumes, interleaved, vtk_config

ITERATIONS = 10
METHODS = {
    "relaxation": {"relaxation": ITERATIONS},
    "taubin": {"taubin": ITERATIONS},
    "fairing": {"fairing": ITERATIONS},
    "fairing+taubin": {"fairing": ITERATIONS, "fairing_taubin": True},
}


def tarna_config(threads: int, smoothing: dict):
    from tarna_mesh import Mesher

    mesher = Mesher(threads=threads, **smoothing)

    def prepare(volume):
        mesher.clear()
        return lambda: mesher.mesh(volume.labels)

    return prepare


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--small", action="store_true", help="96^3 with 200 objects instead of 256^3 with 2,000")
    parser.add_argument("--repeats", type=int, default=5, help="timed repeats per configuration (best is kept)")
    parser.add_argument("--no-vtk", action="store_true", help="skip vtkSurfaceNets3D")
    args = parser.parse_args(argv)

    import tarna_mesh

    all_cores = tarna_mesh.Mesher(threads=0).effective_threads
    print(f"tarna_mesh {tarna_mesh.__version__} from {os.path.dirname(tarna_mesh.__file__)}")
    if not args.no_vtk:
        import vtkmodules

        print(f"vtk {vtkmodules.__version__}")
    print(
        f"numpy {np.__version__}, python {sys.version.split()[0]}, {os.cpu_count()} cpus, "
        f"{all_cores} used for 'all cores', best of {args.repeats}"
    )

    (volume,) = build_volumes(args.small, ("dense",))
    shape = "x".join(str(extent) for extent in volume.labels.shape)
    print(f"volume: {shape} {volume.labels.dtype}, {volume.note}, {len(volume.ids)} labels")

    thread_counts = (1, all_cores)
    configs = {}
    for threads in thread_counts:
        configs[("tarna", threads, "none")] = tarna_config(0 if threads == all_cores else 1, {})
        for method, smoothing in METHODS.items():
            configs[("tarna", threads, method)] = tarna_config(0 if threads == all_cores else 1, smoothing)
        if not args.no_vtk:
            configs[("vtk", threads, "none")] = vtk_config(threads)
            configs[("vtk", threads, "smoothing")] = vtk_config(threads, ITERATIONS)

    load = OtherLoad()
    best = interleaved(volume, configs, max(1, args.repeats))

    checks = []
    for threads in thread_counts:
        extraction = best[("tarna", threads, "none")]
        print(f"\n== {threads} thread{'s' if threads > 1 else ''}")
        print(f"{'configuration':32} {'best s':>9} {'cost/iter s':>12} {'extraction/iter':>16} {'vtk/iter':>9}")
        print(f"{'tarna extraction':32} {extraction:9.4f}")
        vtk_per_iteration = None
        if not args.no_vtk:
            vtk_plain, vtk_smooth = best[("vtk", threads, "none")], best[("vtk", threads, "smoothing")]
            vtk_per_iteration = (vtk_smooth - vtk_plain) / ITERATIONS
            print(f"{'vtk extraction':32} {vtk_plain:9.4f}")
            print(f"{'vtk smoothing x10':32} {vtk_smooth:9.4f} {vtk_per_iteration:12.5f}")
        for method in METHODS:
            seconds = best[("tarna", threads, method)]
            per_iteration = max((seconds - extraction) / ITERATIONS, 1e-9)
            vtk_ratio = f"{vtk_per_iteration / per_iteration:9.1f}" if vtk_per_iteration else f"{'-':>9}"
            print(
                f"{'tarna ' + method + ' x10':32} {seconds:9.4f} {per_iteration:12.5f} "
                f"{extraction / per_iteration:16.1f} {vtk_ratio}"
            )
            checks.append(
                (
                    f"{method}, {threads} thread(s): cost/iteration <= extraction/10",
                    extraction / per_iteration,
                    extraction / per_iteration >= 10,
                )
            )
            if vtk_per_iteration:
                checks.append(
                    (
                        f"{method}, {threads} thread(s): >= 3x below vtk's cost/iteration",
                        vtk_per_iteration / per_iteration,
                        vtk_per_iteration / per_iteration >= 3,
                    )
                )
    print(f"\n{load.report()}")
    print("\n== targets")
    for text, value, met in checks:
        print(f"  {'met   ' if met else 'MISSED'} {text}: {value:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
