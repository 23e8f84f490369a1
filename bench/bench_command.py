"""Command benchmark: the stages of `tarna-mesh mesh` on the dense volume, into a new folder and
into one just emptied.

Volume: the dense benchmark volume of bench_extract.py (256^3 uint32, a Voronoi partition into
2,000 objects; --small: 96^3, 200 objects), saved as .npy, meshed without `--close` into one
PLY file per object on all cores. Each repeat runs the command twice, in a fresh process each
time, and reads the stage times from the summary.json it writes:

  new folder     OUTPUT does not exist yet
  after delete   OUTPUT is the previous run's folder, removed just before: on an ext4 without
                 a journal, creating files where as many were just deleted costs the kernel more
After each run the same files (names and sizes) are created again by plain system calls on
one thread, in a new folder beside it: "files alone", what the file system itself costs in
that state, a floor for the writing stage.
Target: writing takes at most three times as long as meshing. Each run's figures are printed
as it ends, then the ranges.

  python bench/bench_command.py [--small] [--repeats N] [--folder DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_extract import build_volumes  # noqa: E402

STAGES = ("read", "mesh", "write", "total")


def run_command(source: str, output: str) -> dict[str, float]:
    command = [sys.executable, "-m", "tarna_mesh", "mesh", source, output, "--quiet"]
    subprocess.run(command, check=True)
    with open(os.path.join(output, "summary.json")) as stream:
        return json.load(stream)["timings"]


def files_alone(output: str, folder: str) -> float:
    """Seconds to create `output`'s mesh files again, same names and sizes, as the writer does
    (open a hidden name, write, close, rename), in a new folder under `folder`."""
    sizes = [(name, os.path.getsize(os.path.join(output, name))) for name in os.listdir(output) if name[0] != "."]
    largest = max((size for _, size in sizes), default=0)
    data = memoryview(bytes(largest))
    copy = tempfile.mkdtemp(prefix="files_alone_", dir=folder)
    start = time.perf_counter()
    for name, size in sizes:
        temporary = os.path.join(copy, f".{name}.partial")
        handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        os.write(handle, data[:size])
        os.close(handle)
        os.replace(temporary, os.path.join(copy, name))
    seconds = time.perf_counter() - start
    shutil.rmtree(copy)
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="the reduced volume of bench_extract.py")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--folder", help="where the input and outputs go (default: a temporary folder)")
    args = parser.parse_args()

    (volume,) = build_volumes(args.small, ("dense",))
    folder = tempfile.mkdtemp(prefix="bench_command_", dir=args.folder)
    try:
        source = os.path.join(folder, "dense.npy")
        np.save(source, volume.labels)
        shape = f"{volume.labels.shape} {volume.labels.dtype}"
        print(f"{volume.name}: {shape}, {volume.note}, {len(volume.ids)} objects; folder {folder}")
        runs: dict[str, list[dict[str, float]]] = {"new folder": [], "after delete": []}
        for repeat in range(args.repeats):
            output = os.path.join(folder, f"out{repeat}")
            for scenario in runs:
                timings = run_command(source, output)
                timings["files alone"] = files_alone(output, folder)
                runs[scenario].append(timings)
                run = ", ".join(f"{stage} {timings[stage]:.3f}" for stage in ("mesh", "write", "files alone"))
                print(f"  {scenario}: {run}, write/mesh {timings['write'] / timings['mesh']:.2f}", flush=True)
                shutil.rmtree(output)
        columns = STAGES + ("files alone",)
        print(f"{'scenario':<14}" + "".join(f"{column:>16}" for column in columns) + f"{'write/mesh':>16}")
        for scenario, timings in runs.items():
            ratios = [t["write"] / t["mesh"] for t in timings]
            cells = [f"{min(t[c] for t in timings):7.3f}-{max(t[c] for t in timings):<7.3f}" for c in columns]
            ratio = f"{min(ratios):.2f}-{max(ratios):.2f}"
            print(f"{scenario:<14}" + "".join(f"{cell:>16}" for cell in cells) + f"{ratio:>16}")
            print(f"{'':<14}median write/mesh {statistics.median(ratios):.2f} over {len(ratios)} runs")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
