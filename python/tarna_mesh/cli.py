"""The `tarna-mesh` command (also `python -m tarna_mesh`): mesh, info and demo.

Usage mistakes and unreadable inputs end with one line on stderr and exit status 2; anything
unexpected with one line and status 1. `--debug` shows the traceback instead.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NoReturn

import numpy as np

PROG = "tarna-mesh"
MESH_FORMATS = ("ply", "obj", "stl", "glb")
SMOOTHING = {"relax": "relaxation", "taubin": "taubin", "fair": "fairing"}
# Names this command writes into an output folder; --overwrite removes them, nothing else.
OWN_FILES = re.compile(r"object_\d+\.(ply|obj|stl|glb)|summary\.json|preview\.png")


class UsageError(Exception):
    """A mistake in the command line or its input: one line on stderr, exit status 2."""

    def __init__(self, message: str, prog: str | None = None) -> None:
        super().__init__(message)
        self.prog = prog


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message, self.prog)


# ---------------------------------------------------------------------------------------------
# Option values


def voxel_size(text: str) -> tuple[float, float, float]:
    try:
        sizes = tuple(float(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected three numbers like 4,4,40, got {text!r}") from None
    if len(sizes) != 3 or not all(np.isfinite(size) and size > 0 for size in sizes):
        raise argparse.ArgumentTypeError(f"expected three positive numbers like 4,4,40, got {text!r}")
    return sizes[0], sizes[1], sizes[2]


def label_ranges(text: str) -> list[tuple[int, int]]:
    """'3,17,100-200' as inclusive ranges [(3, 3), (17, 17), (100, 200)]."""
    ranges = []
    for part in text.split(","):
        match = re.fullmatch(r"\s*(\d+)\s*(?:-\s*(\d+)\s*)?", part)
        if not match:
            raise argparse.ArgumentTypeError(f"expected labels like 3,17,100-200, got {text!r}")
        low = int(match.group(1))
        high = int(match.group(2)) if match.group(2) else low
        if low > high or low == 0 or high >= 2**64:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is not a range of labels from 1 to 2^64-1")
        ranges.append((low, high))
    return ranges


def non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of 0 or more, got {text!r}")
    return value


def block_shape(text: str) -> tuple[int, int, int]:
    try:
        edges = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected one or three whole numbers like 128 or 128,128,64, got {text!r}"
        ) from None
    if len(edges) == 1:
        edges = edges * 3
    if len(edges) != 3 or not all(1 <= edge <= 32000 for edge in edges):
        raise argparse.ArgumentTypeError(f"expected one or three whole numbers from 1 to 32000, got {text!r}")
    return edges[0], edges[1], edges[2]


def memory_size(text: str) -> int:
    """'512M', '8G', '1.5T' or a number of bytes."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([KMGT]?)i?B?\s*", text, re.IGNORECASE)
    if not match:
        raise argparse.ArgumentTypeError(f"expected a size like 512M or 8G, got {text!r}")
    return int(float(match.group(1)) * 1024 ** " KMGT".index(match.group(2).upper() or " "))


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not np.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got {text!r}")
    return value


# ---------------------------------------------------------------------------------------------
# Parser


def add_input_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "input", metavar="INPUT", help="segmentation file: .npy, .npz[:KEY], .tif/.tiff, .h5[:/PATH], .zarr[:PATH]"
    )
    command.add_argument(
        "--format-in",
        choices=("npy", "npz", "tiff", "hdf5", "zarr"),
        help="read INPUT as this format whatever its name",
    )
    command.add_argument(
        "--level",
        type=non_negative_int,
        default=0,
        help="resolution level of an OME-Zarr multiscale image (default: 0, the finest)",
    )
    command.add_argument("--debug", action="store_true", help="show the traceback of an error")


def build_parser(prog: str = PROG) -> Parser:
    parser = Parser(prog=prog, description="Surfaces of every object of a labelled 3-D volume.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True

    mesh = commands.add_parser(
        "mesh",
        help="mesh every object of a segmentation file and write mesh files",
        description="Read a segmentation, mesh every object (or those of --labels) and write one mesh "
        "file per object into the folder OUTPUT, or one scene if OUTPUT ends in .glb; always a summary.json.",
    )
    add_input_options(mesh)
    mesh.add_argument("output", metavar="OUTPUT", help="folder for one file per object, or a .glb scene file")
    mesh.add_argument(
        "--labels",
        type=label_ranges,
        metavar="LIST",
        help="mesh only these labels, e.g. 3,17,100-200 (default: every object)",
    )
    mesh.add_argument(
        "--format",
        choices=MESH_FORMATS,
        default="ply",
        help="file format of a folder's meshes (default: ply; binary where the format allows)",
    )
    mesh.add_argument(
        "--voxel-size",
        type=voxel_size,
        metavar="D0,D1,D2",
        help="voxel size along array axes 0, 1, 2 (default: from the file, else 1,1,1)",
    )
    mesh.add_argument("--axis-order", default="XYZ", help="output axis of each array axis (default: XYZ)")
    mesh.add_argument("--y-down", action="store_true", help="mirror the array axis that becomes Y")
    mesh.add_argument(
        "--close",
        action="store_true",
        help="treat the volume as surrounded by background: objects at its edge come out sealed",
    )
    mesh.add_argument("--threads", type=non_negative_int, default=0, help="worker threads (default: 0, every core)")
    smooth = mesh.add_argument_group("smoothing (one method)")
    smooth.add_argument(
        "--smooth", nargs=2, metavar=("METHOD", "N"), help="smooth with METHOD (relax, taubin or fair) for N iterations"
    )
    smooth.add_argument(
        "--max-deviation",
        type=finite_float,
        default=0.5,
        help="no vertex moves farther than this, in voxels, on any axis (default: 0.5)",
    )
    smooth.add_argument(
        "--relaxation-step",
        type=finite_float,
        default=0.5,
        help="relax: fraction of the way to the neighbours' mean per iteration (default: 0.5)",
    )
    smooth.add_argument("--taubin-pass-band", type=finite_float, default=0.1, help="taubin: pass band (default: 0.1)")
    smooth.add_argument(
        "--taubin-lambda", type=finite_float, default=0.63, help="taubin: shrinking weight lambda (default: 0.63)"
    )
    smooth.add_argument(
        "--fairing-step", type=finite_float, default=0.5, help="fair: fraction of the way per iteration (default: 0.5)"
    )
    smooth.add_argument(
        "--no-fairing-junction-rule",
        dest="fairing_junction_rule",
        action="store_false",
        help="fair: treat lines where three objects meet like any other surface",
    )
    smooth.add_argument("--fairing-taubin", action="store_true", help="fair: alternate lambda and mu passes")
    smooth.add_argument(
        "--fairing-pass-band",
        type=finite_float,
        default=0.1,
        help="fair with --fairing-taubin: pass band (default: 0.1)",
    )
    smooth.add_argument(
        "--fairing-lambda", type=finite_float, default=0.63, help="fair with --fairing-taubin: lambda (default: 0.63)"
    )
    reduce = mesh.add_argument_group("simplification")
    reduce.add_argument(
        "--reduce",
        type=non_negative_int,
        default=0,
        metavar="K",
        help="simplify every object to about 1/K of its triangles (default: 0, none)",
    )
    reduce.add_argument(
        "--max-error",
        type=finite_float,
        default=None,
        metavar="E",
        help="no vertex moves farther than E output units (default: the largest voxel edge)",
    )
    blocks = mesh.add_argument_group(
        "volumes larger than memory",
        "meshed in blocks on Dask with exactly matching seams when the volume's "
        "estimated need exceeds --memory-budget, or when --block-shape or --scheduler is given",
    )
    blocks.add_argument(
        "--block-shape",
        type=block_shape,
        metavar="B[,B,B]",
        help="cells per block along array axes 0, 1, 2 (default: the file's chunks, at least 128)",
    )
    blocks.add_argument(
        "--scheduler",
        metavar="NAME",
        help="threads (default), processes, sync, or a dask.distributed scheduler address",
    )
    blocks.add_argument(
        "--memory-budget",
        type=memory_size,
        metavar="SIZE",
        help="mesh in blocks when meshing whole would need more (default: half the machine's memory)",
    )
    output = mesh.add_argument_group("output")
    output.add_argument("--normals", action="store_true", help="store vertex normals (PLY, OBJ, GLB)")
    output.add_argument("--preview", action="store_true", help="also draw preview.png of every object")
    output.add_argument(
        "--overwrite",
        action="store_true",
        help="write into an existing OUTPUT, replacing what an earlier run wrote there",
    )
    output.add_argument("--quiet", action="store_true", help="no progress bar and no summary lines")
    mesh.set_defaults(run=run_mesh)

    info = commands.add_parser(
        "info",
        help="shape, dtype, objects and voxel size of a segmentation file",
        description="Read a segmentation and tell its shape, dtype, number of objects, the voxel size the "
        "file records, and an estimate of the memory and time meshing it takes.",
    )
    add_input_options(info)
    info.set_defaults(run=run_info)

    demo = commands.add_parser(
        "demo",
        help="mesh a built-in sample segmentation, write one PLY per object and a preview",
        description="Mesh a built-in sample segmentation (a Voronoi partition clipped to a ball) with every "
        "core, write one binary PLY file per object and preview.png.",
    )
    demo.add_argument("outdir", nargs="?", default="demo-out", help="output directory (default: demo-out)")
    # Edge length of the sample cube; kept out of the help, it exists for quick checks.
    demo.add_argument("--size", type=int, default=None, help=argparse.SUPPRESS)
    demo.add_argument("--debug", action="store_true", help="show the traceback of an error")
    demo.set_defaults(run=run_demo)
    return parser


# ---------------------------------------------------------------------------------------------
# Progress


class Progress:
    """tqdm bars on stderr when it is a terminal and not --quiet; otherwise silent."""

    def __init__(self, enabled: bool) -> None:
        self.tqdm: Any = None
        if enabled:
            from .io._extra import require

            self.tqdm = require("tqdm").tqdm

    @contextlib.contextmanager
    def stage(self, description: str, total: int, unit: str = "it") -> Iterator[Callable[[int], None]]:
        if self.tqdm is None:
            yield lambda count: None
            return
        bar = self.tqdm(total=total, desc=description, unit=unit, file=sys.stderr, leave=True, dynamic_ncols=True)
        try:
            yield bar.update
        finally:
            bar.close()


# ---------------------------------------------------------------------------------------------
# Reading


def open_input(args: argparse.Namespace) -> Any:
    from .io import open_volume

    source = open_volume(args.input, args.format_in, args.level)
    name = f"{source.path}:{source.dataset}" if source.dataset else source.path
    kind = source.dtype.kind
    if kind in "fc":
        source.close()
        raise UsageError(f"{name} holds {source.dtype} values; a segmentation needs integer labels (0 = background)")
    if kind == "b":
        source.close()
        raise UsageError(
            f"{name} holds a bool mask; a segmentation needs integer labels (0 = background): "
            "save the mask as uint8 to mesh it as object 1"
        )
    if kind not in "ui":
        source.close()
        raise UsageError(f"{name} holds {source.dtype} values; a segmentation needs integer labels (0 = background)")
    if len(source.shape) != 3:
        source.close()
        shape = " x ".join(str(extent) for extent in source.shape)
        raise UsageError(f"{name} holds a {len(source.shape)}-D array ({shape}); a segmentation is a 3-D volume")
    return source


def read_labels(source: Any, progress: Progress) -> tuple[np.ndarray, str]:
    """The volume as unsigned labels, and the dtype it was stored as."""
    from .labels import as_labels

    with progress.stage("reading", source.read_steps()) as advance:
        volume = source.read(advance)
    try:
        return as_labels(volume), str(source.dtype)
    except ValueError as error:
        raise UsageError(f"{source.path}: {error}") from None


def chosen_voxel_size(args: argparse.Namespace, source: Any) -> tuple[tuple[float, float, float], str]:
    if getattr(args, "voxel_size", None) is not None:
        return args.voxel_size, "--voxel-size"
    if source.voxel_size is not None:
        return source.voxel_size, source.voxel_size_source
    return (1.0, 1.0, 1.0), "default (the file records none)"


# ---------------------------------------------------------------------------------------------
# mesh


def mesher_settings(args: argparse.Namespace, voxel: tuple[float, float, float]) -> dict[str, Any]:
    settings: dict[str, Any] = {
        "voxel_resolution": list(voxel),
        "axis_order": args.axis_order,
        "y_down": args.y_down,
        "max_deviation": args.max_deviation,
        "relaxation_step": args.relaxation_step,
        "taubin_pass_band": args.taubin_pass_band,
        "taubin_lambda": args.taubin_lambda,
        "fairing_step": args.fairing_step,
        "fairing_junction_rule": args.fairing_junction_rule,
        "fairing_taubin": args.fairing_taubin,
        "fairing_pass_band": args.fairing_pass_band,
        "fairing_lambda": args.fairing_lambda,
        "threads": args.threads,
    }
    if args.smooth is not None:
        method, count = args.smooth
        if method not in SMOOTHING:
            raise UsageError(f"argument --smooth: METHOD must be relax, taubin or fair, got {method!r}", None)
        try:
            settings[SMOOTHING[method]] = non_negative_int(count)
        except argparse.ArgumentTypeError as error:
            raise UsageError(f"argument --smooth: N: {error}", None) from None
    return settings


def prepare_output(args: argparse.Namespace) -> tuple[str, str, str]:
    """(mesh destination, summary path, preview path); refuses an existing output unless
    --overwrite, which then removes only what an earlier run of this command wrote."""
    output = args.output
    if output.lower().endswith(".glb"):
        stem = output[: -len(".glb")]
        summary, preview = stem + ".summary.json", stem + ".preview.png"
        if os.path.exists(output) and not args.overwrite:
            raise UsageError(f"{output} exists; give --overwrite to replace it")
        if os.path.isdir(output):
            raise UsageError(f"{output} is a folder; a .glb output is a file")
        folder = os.path.dirname(output) or "."
        if not os.path.isdir(folder):
            raise UsageError(f"{folder}: no such folder for {output}")
        return output, summary, preview
    if os.path.splitext(output)[1].lower() in (".ply", ".obj", ".stl"):
        raise UsageError(f"{output}: several objects need a folder (choose the format with --format) or a .glb scene")
    if os.path.exists(output):
        if not os.path.isdir(output):
            raise UsageError(f"{output} exists and is not a folder")
        if not args.overwrite:
            raise UsageError(f"output folder {output} exists; give --overwrite to write into it")
    return output, os.path.join(output, "summary.json"), os.path.join(output, "preview.png")


def clear_own_files(folder: str) -> None:
    for name in os.listdir(folder):
        if OWN_FILES.fullmatch(name):
            os.unlink(os.path.join(folder, name))


def select_labels(ids: np.ndarray, ranges: list[tuple[int, int]] | None) -> tuple[list[int], list[int]]:
    """(labels to write, single labels asked for that are absent)."""
    if ranges is None:
        return ids.tolist(), []
    chosen = np.zeros(len(ids), dtype=bool)
    for low, high in ranges:
        chosen |= (ids >= np.uint64(low)) & (ids <= np.uint64(high))
    present = set(ids.tolist())
    absent = [low for low, high in ranges if low == high and low not in present]
    return ids[chosen].tolist(), absent


def border_labels(labels: np.ndarray) -> set[int]:
    """Labels with voxels on the volume's six sides."""
    sides = [np.moveaxis(labels, axis, 0)[index].reshape(-1) for axis in range(3) for index in (0, -1)]
    return set(np.unique(np.concatenate(sides)).tolist()) if labels.size else set()


def write_objects(
    mesher: Any,
    writer: Any,
    labels: list[int],
    get_options: dict[str, Any],
    threads: int,
    advance: Callable[[int], None],
    open_labels: set[int],
) -> list[dict[str, Any]]:
    """Read out, encode and measure every object on `threads` threads (`get`, the encoders and
    the measures spend most of their time outside the interpreter lock), while this thread
    writes the files one after another as they come: creating files in one folder does not run
    in parallel, and kept apart from the encoding it overlaps with it. A scene gets its objects
    in label order from this thread too.

    Every surface is closed except those in `open_labels`: the objects that reach the volume's
    edge when it is meshed without `close` (their surfaces stop there)."""
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    from .io import FolderWriter
    from .measure import object_record

    to_folder = isinstance(writer, FolderWriter)

    def work(label: int) -> tuple[dict[str, Any], Any]:
        vertices, faces, normals = mesher.get(label, **get_options)
        encoded = writer.encode(label, vertices, faces, normals) if to_folder else None
        record = object_record(label, "", vertices, faces, label not in open_labels)
        return record, encoded if to_folder else (vertices, faces, normals)

    records: list[dict[str, Any]] = []
    # a bounded window of objects in flight keeps memory near that of a few objects
    window = 4 * max(1, threads)
    with ThreadPoolExecutor(max_workers=max(1, threads)) as pool:
        if not to_folder:
            pending: list[Any] = []
            for index, label in enumerate(labels + [None] * window):
                if label is not None:
                    pending.append(pool.submit(work, label))
                if index >= window or label is None:
                    if not pending:
                        break
                    record, made = pending.pop(0).result()
                    record["file"] = writer.add(record["label"], *made)
                    records.append(record)
                    advance(1)
            return records
        # Files may be made in any order: take whichever object is ready, so one large object
        # does not hold up the files of those encoded after it.
        running: set[Any] = set()
        queue = iter(labels)
        while True:
            for label in queue:
                running.add(pool.submit(work, label))
                if len(running) >= window:
                    break
            if not running:
                break
            done, running = wait(running, return_when=FIRST_COMPLETED)
            # what did get made is written before another object's error is raised
            failed = [future for future in done if future.exception() is not None]
            for future in done:
                if future.exception() is None:
                    record, made = future.result()
                    record["file"] = writer.put(*made)
                    records.append(record)
                    advance(1)
            if failed:
                failed[0].result()
    order = {label: index for index, label in enumerate(labels)}
    return sorted(records, key=lambda record: order[record["label"]])


# Meshing a volume whole needs about this much per voxel beside the volume itself: the stored
# surfaces of a dense segmentation (the 256^3 volume of 2,000 objects: 19 bytes per voxel).
SURFACE_BYTES_PER_VOXEL = 20


def memory_needed(source: Any) -> int:
    voxels = int(np.prod(source.shape, dtype=np.int64))
    return voxels * (int(source.dtype.itemsize) + SURFACE_BYTES_PER_VOXEL)


def physical_memory() -> int:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError, AttributeError):
        return 8 << 30


def in_blocks(args: argparse.Namespace, source: Any) -> bool:
    if args.block_shape is not None or args.scheduler is not None:
        return True
    budget = args.memory_budget if args.memory_budget is not None else physical_memory() // 2
    return memory_needed(source) > budget


def input_record(source: Any, shape: Sequence[int], dtype: str) -> dict[str, Any]:
    """The summary's account of the input file."""
    return {
        "path": source.path,
        "format": source.format,
        "dataset": source.dataset,
        "shape": list(shape),
        "dtype": dtype,
    }


def run_mesh(args: argparse.Namespace) -> int:
    from . import Mesher, __version__
    from .io import open_writer

    started = time.perf_counter()
    progress = Progress(not args.quiet and sys.stderr.isatty())
    destination, summary_path, preview_path = prepare_output(args)
    if args.preview:
        from .io._extra import require

        require("matplotlib")
    source = open_input(args)
    with source:
        voxel, voxel_source = chosen_voxel_size(args, source)
        settings = mesher_settings(args, voxel)
        try:
            mesher = Mesher(**settings)
        except (ValueError, TypeError) as error:
            raise UsageError(f"invalid option: {error}", None) from None
        if in_blocks(args, source):
            return run_mesh_in_blocks(args, source, settings, voxel, voxel_source, destination, summary_path, started)
        labels, stored_dtype = read_labels(source, progress)
    read_done = time.perf_counter()

    with progress.stage("meshing", 1) as advance:
        mesher.mesh(labels, close=args.close)
        advance(1)
    meshed = time.perf_counter()
    chosen, absent = select_labels(mesher.ids(), args.labels)
    if args.labels is not None and not chosen:
        raise UsageError("none of the labels given by --labels is in the volume")

    if not destination.lower().endswith(".glb"):
        if os.path.isdir(destination):
            clear_own_files(destination)
        else:
            os.makedirs(destination)
    writer = open_writer(destination, args.format, args.normals)
    get_options = {"normals": args.normals, "reduction_factor": args.reduce, "max_error": args.max_error}
    with progress.stage("writing", len(chosen), unit="obj") as advance:
        open_labels = set() if args.close else border_labels(labels)
        records = write_objects(mesher, writer, chosen, get_options, mesher.effective_threads, advance, open_labels)
        writer.commit()
    written = time.perf_counter()

    if args.preview:
        draw_preview(
            mesher, records, preview_path, progress, f"{len(records)} objects from {os.path.basename(source.path)}"
        )
    previewed = time.perf_counter()

    summary = {
        "tarna_mesh": __version__,
        "input": input_record(source, labels.shape, stored_dtype),
        "voxel_size": list(voxel),
        "voxel_size_source": voxel_source,
        "unit": source.unit,
        "settings": run_settings(args, settings),
        "threads": mesher.effective_threads,
        "timings": {
            "read": read_done - started,
            "mesh": meshed - read_done,
            "write": written - meshed,
            "preview": previewed - written if args.preview else None,
            "total": time.perf_counter() - started,
        },
        "objects": records,
        "absent_labels": absent,
    }
    save_summary(summary, args, destination, summary_path, preview_path if args.preview else None)
    return 0


class LabelRanges:
    """Whether a label is in --labels' ranges (picklable, for Dask's workers)."""

    def __init__(self, ranges: list[tuple[int, int]]) -> None:
        self.ranges = ranges

    def __call__(self, label: int) -> bool:
        return any(low <= label <= high for low, high in self.ranges)


def run_mesh_in_blocks(
    args: argparse.Namespace,
    source: Any,
    settings: dict[str, Any],
    voxel: tuple[float, float, float],
    voxel_source: str,
    destination: str,
    summary_path: str,
    started: float,
) -> int:
    """`mesh` for volumes larger than memory: blocks meshed on Dask, one file per object
    written by the workers; only the objects' records come back."""
    from . import __version__
    from .blockwise import default_block_shape, mesh_blockwise
    from .io._extra import require

    if destination.lower().endswith(".glb"):
        raise UsageError(
            "a .glb scene is assembled in memory; a volume meshed in blocks is written to a folder "
            "(--format glb gives one .glb file per object)"
        )
    if args.preview:
        raise UsageError("--preview draws every object at once; it is not available for a volume meshed in blocks")
    require("dask", extra="dask")
    volume = source.array
    if volume is None:  # a format that cannot read part of a volume: read it whole, mesh in blocks
        volume, _ = read_labels(source, Progress(False))
    block = args.block_shape or default_block_shape(volume)
    client = None
    scheduler = args.scheduler or "threads"
    if scheduler not in ("threads", "processes", "sync"):
        client = require("distributed", extra="dask").Client(scheduler)
        scheduler = None
    if os.path.isdir(destination):
        clear_own_files(destination)
    else:
        os.makedirs(destination)
    block_settings = {**settings, "threads": 1}
    dask = require("dask", extra="dask")
    options = {"num_workers": args.threads} if args.threads and client is None and scheduler != "sync" else {}
    try:
        with dask.config.set(**options):
            records: list[dict[str, Any]] = mesh_blockwise(  # type: ignore[assignment]  # a folder: records
                volume,
                destination,
                block_shape=block,
                close=args.close,
                labels=None if args.labels is None else LabelRanges(args.labels),
                normals=args.normals,
                reduction_factor=args.reduce,
                max_error=args.max_error,
                format=args.format,
                client=client,
                scheduler=scheduler,
                progress=not args.quiet and sys.stderr.isatty(),
                **block_settings,
            )
    except ValueError as error:  # labels that cannot be read as labels, found in some block
        raise UsageError(f"{source.path}: {error}") from None
    finally:
        if client is not None:
            client.close()
    if args.labels is not None and not records:
        raise UsageError("none of the labels given by --labels is in the volume")
    present = {record["label"] for record in records}
    absent = [low for low, high in args.labels or [] if low == high and low not in present]
    meshed = time.perf_counter()
    blocks = int(
        np.prod([-(-max(0, extent + 2 * args.close - 1) // edge) for extent, edge in zip(source.shape, block)])
    )
    summary = {
        "tarna_mesh": __version__,
        "input": input_record(source, source.shape, str(source.dtype)),
        "voxel_size": list(voxel),
        "voxel_size_source": voxel_source,
        "unit": source.unit,
        "settings": run_settings(args, settings),
        "threads": args.threads,
        "blocks": {"shape": list(block), "count": blocks, "scheduler": args.scheduler or "threads"},
        "timings": {
            "read": None,
            "mesh": meshed - started,
            "write": None,
            "preview": None,
            "total": time.perf_counter() - started,
        },
        "objects": records,
        "absent_labels": absent,
    }
    save_summary(summary, args, destination, summary_path, None)
    return 0


def save_summary(
    summary: dict[str, Any], args: argparse.Namespace, destination: str, summary_path: str, preview_path: str | None
) -> None:
    """Write summary.json and, unless --quiet, print its short form."""
    from .io import atomic_file

    with atomic_file(summary_path) as stream:
        stream.write(json.dumps(summary, indent=1).encode())
    if not args.quiet:
        for line in summary_lines(summary, destination, summary_path, preview_path):
            print(line)


def writer_format(args: argparse.Namespace) -> str:
    return "glb" if args.output.lower().endswith(".glb") else args.format


def run_settings(args: argparse.Namespace, settings: dict[str, Any]) -> dict[str, Any]:
    """The settings a summary records: the Mesher's and the command's own."""
    return {
        **settings,
        "close": args.close,
        "labels": args.labels,
        "format": writer_format(args),
        "normals": args.normals,
        "reduction_factor": args.reduce,
        "max_error": args.max_error,
    }


def draw_preview(mesher: Any, records: list[dict[str, Any]], path: str, progress: Progress, caption: str) -> None:
    from .preview import Preview

    if records:
        low = np.min([record["bounding_box"]["min"] for record in records], axis=0)
        high = np.max([record["bounding_box"]["max"] for record in records], axis=0)
    else:
        low, high = np.zeros(3), np.ones(3)
    picture = Preview(low, high)
    with progress.stage("preview", len(records), unit="obj") as advance:
        for record in records:
            vertices, faces, _ = mesher.get(record["label"])
            picture.add(record["label"], vertices, faces, closed=record["closed"])
            advance(1)
    picture.save(path, caption)


def summary_lines(summary: dict[str, Any], destination: str, summary_path: str, preview_path: str | None) -> list[str]:
    objects = summary["objects"]
    timings = summary["timings"]
    shape = " x ".join(str(extent) for extent in summary["input"]["shape"])
    voxel = ", ".join(f"{size:g}" for size in summary["voxel_size"])
    open_count = sum(not record["closed"] for record in objects)
    unit = f"{' ' + summary['unit'] if summary['unit'] else ''}"
    counts = (
        f"{len(objects)} objects, {sum(r['vertices'] for r in objects):,} vertices, "
        f"{sum(r['faces'] for r in objects):,} triangles to {destination}"
    )
    if "blocks" in summary:
        blocks = summary["blocks"]
        lines = [
            f"input     {summary['input']['path']}: {shape} {summary['input']['dtype']}",
            f"voxel     {voxel}{unit} ({summary['voxel_size_source']})",
            f"blocks    {blocks['count']} of {' x '.join(map(str, blocks['shape']))} cells on {blocks['scheduler']}, "
            f"read, meshed and written in {timings['mesh']:.2f} s",
            f"wrote     {counts}",
        ]
    else:
        lines = [
            f"input     {summary['input']['path']}: {shape} {summary['input']['dtype']}, "
            f"read in {timings['read']:.2f} s",
            f"voxel     {voxel}{unit} ({summary['voxel_size_source']})",
            f"meshed    in {timings['mesh']:.2f} s on {summary['threads']} threads",
            f"wrote     {counts} in {timings['write']:.2f} s",
        ]
    if open_count:
        lines.append(f"open      {open_count} objects reach the volume's edge and are open there (--close seals them)")
    if summary["absent_labels"]:
        lines.append(f"absent    labels not in the volume: {', '.join(map(str, summary['absent_labels']))}")
    if preview_path:
        lines.append(f"preview   {preview_path}")
    lines.append(f"summary   {summary_path}")
    lines.append(f"total     {timings['total']:.2f} s")
    return lines


# ---------------------------------------------------------------------------------------------
# info

# Rough costs, enough for a class of time: scanning voxels that hold no surface runs at about
# 150 M voxels/s per core (uniform 512^3 volumes), and meshing, reading out, measuring and
# writing surfaces at about 4 M faces/s (the dense 256^3 volume of 2,000 objects: 1.7 s
# estimated, 2.3 s measured to PLY); stored surfaces take about 45 bytes per face.
VOXELS_PER_SECOND = 150e6
QUADS_PER_SECOND = 4e6
BYTES_PER_QUAD = 45


def count_quads(labels: np.ndarray) -> int:
    """Faces the surfaces will have, before triangulation: one per object on each side of every
    pair of neighbouring voxels with different labels."""
    total = 0
    for axis in range(3):
        low = np.moveaxis(labels, axis, 0)[:-1]
        high = np.moveaxis(labels, axis, 0)[1:]
        differ = low != high
        total += int(np.count_nonzero(differ)) * 2
        total -= int(np.count_nonzero(differ & ((low == 0) | (high == 0))))
    return total


def time_class(seconds: float) -> str:
    for limit, text in ((1, "under a second"), (60, "seconds"), (600, "minutes"), (3600, "under an hour")):
        if seconds < limit:
            return text
    return "hours"


def size_text(count: float) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    return f"{count:.1f} TiB"


def run_info(args: argparse.Namespace) -> int:
    progress = Progress(sys.stderr.isatty())
    source = open_input(args)
    with source:
        labels, stored_dtype = read_labels(source, progress)
    voxel, voxel_source = chosen_voxel_size(args, source)
    present = np.unique(labels) if labels.dtype.itemsize > 2 else np.flatnonzero(np.bincount(labels.reshape(-1)))
    present = present[present != 0]
    quads = count_quads(labels)
    threads = max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)
    seconds = labels.size / VOXELS_PER_SECOND / threads + quads / QUADS_PER_SECOND
    memory = labels.nbytes + BYTES_PER_QUAD * quads
    name = f"{source.path}:{source.dataset}" if source.dataset else source.path
    shape = " x ".join(str(extent) for extent in labels.shape)
    print(f"input      {name} ({source.format})")
    print(
        f"shape      {shape}, {stored_dtype}"
        f"{'' if stored_dtype == str(labels.dtype) else f' (read as {labels.dtype})'}, "
        f"{size_text(labels.nbytes)}"
    )
    span = f" (labels {present[0]} to {present[-1]})" if len(present) else ""
    print(f"objects    {len(present)}{span}")
    unit = f" {source.unit}" if source.unit else ""
    print(f"voxel size {', '.join(f'{size:g}' for size in voxel)}{unit} ({voxel_source})")
    print(f"surfaces   about {quads:,} faces ({2 * quads:,} triangles)")
    print(
        f"estimate   {size_text(memory)} of memory; meshing and writing take {time_class(seconds)} on {threads} threads"
    )
    return 0


# ---------------------------------------------------------------------------------------------
# demo


def run_demo(args: argparse.Namespace) -> int:
    if args.size is not None and args.size < 2:
        raise UsageError("argument --size: must be at least 2", f"{args.prog} demo")
    from . import demo

    options = {} if args.size is None else {"size": args.size}
    summary = demo.run(args.outdir, **options)
    for line in summary.lines():
        print(line)
    return 0


# ---------------------------------------------------------------------------------------------
# Entry point


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Run the command line; returns the exit status."""
    from .io import InputError, MissingExtraError

    parser = build_parser(prog)
    debug = "--debug" in (sys.argv[1:] if argv is None else argv)
    try:
        args = parser.parse_args(argv)
        args.prog = prog
        return int(args.run(args))
    except UsageError as error:
        if debug:
            raise
        print(f"{error.prog or prog}: error: {error}", file=sys.stderr)
        return 2
    except (InputError, MissingExtraError) as error:
        if debug:
            raise
        print(f"{prog}: error: {' '.join(str(error).split())}", file=sys.stderr)
        return 2
    except OSError as error:
        if debug:
            raise
        where = f"{error.filename}: " if error.filename else ""
        print(f"{prog}: error: {where}{error.strerror or error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # anything else is a fault of this program, not of the input
        if debug:
            raise
        print(
            f"{prog}: internal error: {type(error).__name__}: {' '.join(str(error).split())} "
            "(run with --debug for the traceback)",
            file=sys.stderr,
        )
        return 1


def console_main() -> None:
    """The `tarna-mesh` console script."""
    sys.exit(main())
