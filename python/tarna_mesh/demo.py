"""Built-in demonstration: mesh a sample segmentation and write every object as PLY.

The sample is a Voronoi partition of random seeds clipped to a ball, so it has
a few hundred objects that touch each other along shared walls, some of them
also touching the background outside the ball. It is built with NumPy alone,
deterministically from a fixed seed.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass

import numpy as np

DEFAULT_SIZE = 160
DEFAULT_OBJECTS = 300
DEFAULT_SEED = 20240611

# Edge of the cubic blocks the nearest-seed search works on; a block's
# candidate seeds are found once, then only those are compared per voxel.
BLOCK = 8
# Blocks per batch of the per-voxel search: bounds scratch memory to
# about BATCH_BLOCKS * BLOCK**3 * candidates float32 values.
BATCH_BLOCKS = 256


def ball_seeds(size: int, count: int, rng: np.random.Generator) -> tuple[np.ndarray, float, float]:
    """`count` seed points uniform in the ball inscribed in a cube of `size` voxels.

    Returns the seeds (count, 3) as float64, the ball's centre coordinate and its radius.
    """
    centre = (size - 1) / 2.0
    radius = 0.47 * size
    seeds = np.empty((0, 3))
    # Rejection sampling from the cube: about half the draws land in the ball.
    while len(seeds) < count:
        draws = rng.uniform(-radius, radius, size=(2 * count, 3))
        inside = draws[np.einsum("ij,ij->i", draws, draws) <= radius * radius]
        seeds = np.concatenate([seeds, inside])
    return seeds[:count] + centre, centre, radius


def nearest_seed(size: int, seeds: np.ndarray, centre: float, radius: float) -> np.ndarray:
    """Index + 1 of the nearest seed for every voxel inside the ball, 0 outside.

    Exact, not approximate: a block's candidates are the seeds whose distance to
    the block's box does not exceed the smallest farthest-corner distance of any
    seed, because that seed is at least that close to every voxel of the block.
    Ties go to the lower seed index, so the result does not depend on blocking.
    """
    block_count = -(-size // BLOCK)
    padded = block_count * BLOCK
    seeds32 = seeds.astype(np.float32)

    lows = np.arange(block_count, dtype=np.float64) * BLOCK
    grid = np.stack(np.meshgrid(lows, lows, lows, indexing="ij"), axis=-1).reshape(-1, 3)
    block_low = grid
    block_high = grid + (BLOCK - 1)

    # Blocks wholly outside the ball stay background.
    near_centre = np.clip(centre, block_low, block_high)
    in_ball = ((near_centre - centre) ** 2).sum(axis=1) <= radius * radius
    live = np.flatnonzero(in_ball)

    low = block_low[live][:, None, :]
    high = block_high[live][:, None, :]
    s = seeds[None, :, :]
    gap = np.maximum(np.maximum(low - s, s - high), 0.0)
    min_dist2 = (gap * gap).sum(axis=2)
    reach = np.maximum(np.abs(s - low), np.abs(s - high))
    max_dist2 = (reach * reach).sum(axis=2)
    bound = max_dist2.min(axis=1, keepdims=True)
    is_candidate = min_dist2 <= bound
    candidate_count = is_candidate.sum(axis=1)
    # Candidates first, in ascending seed order (stable sort), padding after.
    candidates = np.argsort(~is_candidate, axis=1, kind="stable")

    offsets = np.arange(BLOCK, dtype=np.float32)
    blocks = np.zeros((block_count**3, BLOCK, BLOCK, BLOCK), dtype=np.uint32)
    # Batches of blocks with similar candidate counts waste little on padding.
    by_count = np.argsort(candidate_count, kind="stable")
    for start in range(0, len(by_count), BATCH_BLOCKS):
        batch = by_count[start : start + BATCH_BLOCKS]
        width = int(candidate_count[batch].max())
        chosen = candidates[batch, :width]
        valid = np.arange(width)[None, :] < candidate_count[batch][:, None]
        axis_dist2 = []
        for axis in range(3):
            coord = block_low[live[batch], axis].astype(np.float32)[:, None] + offsets[None, :]
            delta = coord[:, :, None] - seeds32[chosen, axis][:, None, :]
            axis_dist2.append(delta * delta)
        # Padding slots can never win.
        axis_dist2[0][~np.broadcast_to(valid[:, None, :], axis_dist2[0].shape)] = np.inf
        dist2 = axis_dist2[0][:, :, None, None, :] + axis_dist2[1][:, None, :, None, :]
        dist2 = dist2 + axis_dist2[2][:, None, None, :, :]
        winner = dist2.argmin(axis=-1)
        blocks[live[batch]] = np.take_along_axis(chosen[:, None, None, None, :], winner[..., None], axis=-1)[..., 0] + 1

    labels = (
        blocks.reshape(block_count, block_count, block_count, BLOCK, BLOCK, BLOCK)
        .transpose(0, 3, 1, 4, 2, 5)
        .reshape(padded, padded, padded)[:size, :size, :size]
    )
    axis = (np.arange(size, dtype=np.float64) - centre) ** 2
    outside = axis[:, None, None] + axis[None, :, None] + axis[None, None, :] > radius * radius
    labels = np.ascontiguousarray(labels)
    labels[outside] = 0
    return labels


def sample_volume(size: int = DEFAULT_SIZE, objects: int = DEFAULT_OBJECTS, seed: int = DEFAULT_SEED) -> np.ndarray:
    """The demo segmentation: a (size, size, size) uint32 array, 0 outside the ball."""
    rng = np.random.default_rng(seed)
    seeds, centre, radius = ball_seeds(size, objects, rng)
    return nearest_seed(size, seeds, centre, radius)


@dataclass
class DemoSummary:
    shape: tuple[int, int, int]
    objects: int
    vertices: int
    faces: int
    threads: int
    build_seconds: float
    mesh_seconds: float
    write_seconds: float
    preview_seconds: float
    total_seconds: float
    outdir: str
    preview: str

    def lines(self) -> list[str]:
        voxels = int(np.prod(self.shape))
        shape = "x".join(str(extent) for extent in self.shape)
        return [
            f"volume    {shape} uint32, {voxels:,} voxels, built in {self.build_seconds:.2f} s",
            (
                f"meshed    {self.objects} objects in {self.mesh_seconds:.3f} s on {self.threads} threads "
                f"({voxels / self.mesh_seconds / 1e6:.1f} M voxels/s)"
            ),
            (
                f"wrote     {self.vertices:,} vertices, {self.faces:,} triangles "
                f"as {self.objects} PLY files in {self.write_seconds:.2f} s to {self.outdir}"
            ),
            f"preview   {self.preview}, drawn in {self.preview_seconds:.2f} s",
            f"total     {self.total_seconds:.2f} s",
        ]


def run(outdir: str = "demo-out", size: int = DEFAULT_SIZE, objects: int = DEFAULT_OBJECTS) -> DemoSummary:
    """Build the sample, mesh it closed on every core, write object_<label>.ply files and
    preview.png."""
    from tarna_mesh import Mesher
    from tarna_mesh.io import write_mesh
    from tarna_mesh.preview import Preview

    start = time.perf_counter()
    labels = sample_volume(size, objects)
    built = time.perf_counter()

    mesher = Mesher(threads=0)
    mesher.mesh(labels, close=True)
    meshed = time.perf_counter()

    os.makedirs(outdir, exist_ok=True)
    vertex_total = face_total = 0
    ids = mesher.ids()
    for label in ids:
        vertices, faces, normals = mesher.get(int(label), normals=True)
        write_mesh(os.path.join(outdir, f"object_{label}.ply"), vertices, faces, normals)
        vertex_total += len(vertices)
        face_total += len(faces)
    written = time.perf_counter()

    # The sample fills a ball inside the cube; every object is closed, so back faces are skipped.
    preview_path = os.path.join(outdir, "preview.png")
    picture = Preview((-0.5, -0.5, -0.5), (size - 0.5,) * 3)
    for label in ids:
        vertices, faces, _ = mesher.get(int(label))
        picture.add(int(label), vertices, faces, closed=True)
    picture.save(preview_path, f"tarna_mesh demo: {len(ids)} objects of a {size}\u00b3 sample, meshed with close=True")
    finished = time.perf_counter()

    return DemoSummary(
        shape=labels.shape,
        objects=len(ids),
        vertices=vertex_total,
        faces=face_total,
        threads=mesher.effective_threads,
        build_seconds=built - start,
        mesh_seconds=meshed - built,
        write_seconds=written - meshed,
        preview_seconds=finished - written,
        total_seconds=finished - start,
        outdir=outdir,
        preview=preview_path,
    )
