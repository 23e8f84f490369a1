"""Digest of every array `get()` returns on the benchmark volumes.

A change that must not alter any output (a restructuring, a speed-up) is checked by
running this before and after and comparing:

  PYTHONPATH=<build> python bench/digest.py --save /tmp/before.json
  ... change, rebuild ...
  PYTHONPATH=<build> python bench/digest.py --check /tmp/before.json

Each line is one (volume, configuration): the SHA-256 over every object's vertices,
faces and normals in ascending label order, at 1 and 2 threads (which must agree).
--small uses the reduced volumes of bench_extract.py; --volumes picks some of them.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_extract import build_volumes  # noqa: E402
from tarna_mesh import Mesher  # noqa: E402

# (name, constructor arguments, mesh() arguments, get() arguments)
CONFIGS = [
    ("open", {}, {}, {"normals": True}),
    ("closed", {}, {"close": True}, {"normals": True}),
    ("frame", {"voxel_resolution": (0.5, 1.5, 4.0), "axis_order": "ZXY", "y_down": True}, {"close": True}, {}),
    ("owned", {}, {"owned_shape": (40, 300, 70)}, {}),
]
# Configurations added by later features join this list under their own names, so
# digests saved before they existed still compare on the rest.
OPTIONAL_CONFIGS = [
    ("relaxation", {"relaxation": 10}, {"close": True}, {}),
    ("taubin", {"taubin": 10}, {}, {"normals": True}),
    ("fairing", {"fairing": 10}, {"close": True}, {}),
    ("fairing_taubin", {"fairing": 10, "fairing_taubin": True, "fairing_junction_rule": False}, {}, {}),
    ("simplified", {}, {"close": True}, {"reduction_factor": 10, "normals": True}),
]


def digest(volume, config, threads: int) -> str:
    _, make, mesh, get = config
    mesher = Mesher(threads=threads, **make)
    mesher.mesh(volume.labels, **mesh)
    hasher = hashlib.sha256()
    for label in mesher.ids():
        vertices, faces, normals = mesher.get(int(label), **get)
        hasher.update(np.uint64(label).tobytes())
        for array in (vertices, faces, normals):
            if array is not None:
                hasher.update(str(array.shape).encode())
                hasher.update(np.ascontiguousarray(array).tobytes())
    return hasher.hexdigest()


def supported(config) -> bool:
    """Whether this build runs the configuration (features land one at a time)."""
    _, make, mesh, get = config
    try:
        mesher = Mesher(threads=1, **make)
        mesher.mesh(np.ones((2, 2, 2), np.uint8), **mesh)
        mesher.get(1, **get)
    except NotImplementedError:
        return False
    return True


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--small", action="store_true")
    parser.add_argument(
        "--volumes",
        default="dense,sparse,uniform",
        help="volumes of bench_extract.py to hash (default: dense,sparse,uniform)",
    )
    parser.add_argument("--save", metavar="FILE")
    parser.add_argument("--check", metavar="FILE")
    args = parser.parse_args(argv)

    volumes = build_volumes(args.small, tuple(args.volumes.split(",")))
    configs = CONFIGS + [config for config in OPTIONAL_CONFIGS if supported(config)]
    digests = {}
    for volume in volumes:
        for config in configs:
            key = f"{volume.name}/{config[0]}"
            one, two = digest(volume, config, 1), digest(volume, config, 2)
            if one != two:
                print(f"{key}: 1 and 2 threads differ", flush=True)
                return 1
            digests[key] = one
            print(f"{key:28s} {one}", flush=True)
    if args.save:
        with open(args.save, "w") as out:
            json.dump(digests, out, indent=1)
    if args.check:
        with open(args.check) as source:
            before = json.load(source)
        compared = [key for key in digests if key in before]
        changed = [key for key in compared if digests[key] != before[key]]
        for key in changed:
            print(f"changed: {key}")
        print(f"{len(compared)} compared, {len(changed)} changed")
        return 1 if changed or not compared else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
