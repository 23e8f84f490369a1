"""A preview picture of meshed objects: every object in its own colour, seen obliquely.

Rendered off-screen with NumPy alone, as a z-buffer over points sampled on every triangle
densely enough to leave no pixel uncovered (a triangle gets more samples the larger it looks),
then flat-shaded, with a thin dark line where one object ends and another or the background
begins. matplotlib, when installed, writes the PNG with a caption.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

import numpy as np

# Camera: seen from this azimuth (about z, from +x towards +y) and elevation, z up, orthographic.
AZIMUTH_DEGREES = -50.0
ELEVATION_DEGREES = 28.0
MARGIN = 16
# Sample points handled per batch: bounds scratch memory.
BATCH_SAMPLES = 1 << 22
BACKGROUND = np.array([246, 246, 244], dtype=np.uint8)


def colour_of(labels: np.ndarray) -> np.ndarray:
    """A distinct, stable colour (RGB floats in 0..1) per label: hues spaced by the golden ratio."""
    labels = np.asarray(labels, dtype=np.uint64)
    hue = (labels.astype(np.float64) * 0.6180339887498949) % 1.0
    saturation = 0.45 + 0.3 * ((labels * np.uint64(2654435761)) % np.uint64(5)).astype(np.float64) / 4
    value = np.full_like(hue, 0.95)
    sector = np.floor(hue * 6).astype(int) % 6
    f = hue * 6 - np.floor(hue * 6)
    p, q, t = value * (1 - saturation), value * (1 - f * saturation), value * (1 - (1 - f) * saturation)
    table = np.stack(
        [
            np.stack([value, t, p], -1),
            np.stack([q, value, p], -1),
            np.stack([p, value, t], -1),
            np.stack([p, q, value], -1),
            np.stack([t, p, value], -1),
            np.stack([value, p, q], -1),
        ]
    )
    return table[sector, np.arange(len(hue))]


class Preview:
    """Draws objects one by one into a picture of the box `low`..`high` (output units)."""

    def __init__(self, low: Sequence[float], high: Sequence[float], width: int = 960, height: int = 720) -> None:
        azimuth, elevation = np.radians(AZIMUTH_DEGREES), np.radians(ELEVATION_DEGREES)
        towards_camera = np.array(
            [np.cos(elevation) * np.cos(azimuth), np.cos(elevation) * np.sin(azimuth), np.sin(elevation)]
        )
        forward = -towards_camera
        right = np.cross(forward, [0.0, 0.0, 1.0])
        right /= np.linalg.norm(right)
        up = np.cross(right, forward)
        self.frame = np.stack([right, up, forward])  # rows: screen x, screen y, depth
        self.light = towards_camera + 0.5 * up + 0.4 * right
        self.light /= np.linalg.norm(self.light)
        self.width, self.height = width, height
        corners = np.array(
            [[x, y, z] for x in (low[0], high[0]) for y in (low[1], high[1]) for z in (low[2], high[2])],
            dtype=np.float64,
        )
        screen = corners @ self.frame[:2].T
        self.origin = screen.min(axis=0)
        extent = np.maximum(screen.max(axis=0) - self.origin, 1e-12)
        self.scale = min((width - 2 * MARGIN) / extent[0], (height - 2 * MARGIN) / extent[1])
        self.offset = (np.array([width, height]) - extent * self.scale) / 2
        self.depth = np.full(width * height, np.inf)
        self.shade = np.zeros(width * height, dtype=np.float32)
        self.owner = np.zeros(width * height, dtype=np.int64)  # index into self.labels, 0 = nothing
        self.labels: list[int] = [0]

    def add(self, label: int, vertices: np.ndarray, faces: np.ndarray, closed: bool = False) -> None:
        """Draw one object. The back faces of a closed object are never seen and are skipped."""
        if len(faces) == 0:
            return
        points = vertices.astype(np.float64) @ self.frame.T
        points[:, :2] = (points[:, :2] - self.origin) * self.scale + self.offset
        points[:, 1] = self.height - points[:, 1]
        corners = points[faces]  # (F, 3 corners, x y depth), screen y pointing down
        world = vertices.astype(np.float64)[faces]
        normal = np.cross(world[:, 1] - world[:, 0], world[:, 2] - world[:, 0])
        length = np.linalg.norm(normal, axis=1)
        keep = length > 0
        if closed:
            keep &= normal @ self.frame[2] < 0  # facing the camera
        corners, normal = corners[keep], normal[keep] / length[keep, None]
        shade = (0.3 + 0.7 * np.abs(normal @ self.light)).astype(np.float32)
        edges = np.stack(
            [
                corners[:, 1, :2] - corners[:, 0, :2],
                corners[:, 2, :2] - corners[:, 0, :2],
                corners[:, 2, :2] - corners[:, 1, :2],
            ],
            axis=1,
        )
        steps = np.ceil(1.5 * np.linalg.norm(edges, axis=2).max(axis=1)).astype(np.int64).clip(1, 512)
        self.labels.append(int(label))
        owner = len(self.labels) - 1
        for step in np.unique(steps):
            chosen = np.flatnonzero(steps == step)
            i, j = np.meshgrid(np.arange(step + 1), np.arange(step + 1), indexing="ij")
            inside = i + j <= step
            weights = np.stack([1 - (i[inside] + j[inside]) / step, i[inside] / step, j[inside] / step], axis=1)
            per_batch = max(1, BATCH_SAMPLES // len(weights))
            for start in range(0, len(chosen), per_batch):
                batch = chosen[start : start + per_batch]
                samples = np.einsum("sk,fkc->fsc", weights, corners[batch]).reshape(-1, 3)
                self._splat(samples, np.repeat(shade[batch], len(weights)), owner)

    def _splat(self, samples: np.ndarray, shade: np.ndarray, owner: int) -> None:
        x = np.floor(samples[:, 0]).astype(np.int64)
        y = np.floor(samples[:, 1]).astype(np.int64)
        visible = (x >= 0) & (x < self.width) & (y >= 0) & (y < self.height)
        pixel = (y * self.width + x)[visible]
        depth, shade = samples[visible, 2], shade[visible]
        np.minimum.at(self.depth, pixel, depth)
        won = depth <= self.depth[pixel]
        self.shade[pixel[won]] = shade[won]
        self.owner[pixel[won]] = owner

    def image(self) -> np.ndarray:
        """The picture so far, (height, width, 3) uint8."""
        owner = self.owner.reshape(self.height, self.width)
        colours = np.vstack([np.zeros((1, 3)), colour_of(np.array(self.labels[1:], dtype=np.uint64))])
        rgb = colours[owner] * self.shade.reshape(self.height, self.width, 1)
        # outline: a pixel whose right or lower neighbour shows another object (or nothing)
        outline = np.zeros(owner.shape, dtype=bool)
        outline[:, :-1] |= owner[:, :-1] != owner[:, 1:]
        outline[:-1, :] |= owner[:-1, :] != owner[1:, :]
        rgb[outline & (owner > 0)] *= 0.45
        picture = np.where((owner > 0)[..., None], np.clip(rgb * 255, 0, 255), BACKGROUND).astype(np.uint8)
        return picture

    def save(self, path: str | os.PathLike[str], caption: str = "") -> None:
        """Write the picture as PNG, with `caption` below it (needs matplotlib)."""
        save_png(path, self.image(), caption)


def save_png(path: str | os.PathLike[str], image: np.ndarray, caption: str = "") -> None:
    """`image` as a PNG file with an optional caption, written under a temporary name first."""
    from .io import atomic_file
    from .io._extra import require

    require("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    height, width = image.shape[:2]
    dpi = 100
    caption_height = 28 if caption else 0
    figure = Figure(figsize=(width / dpi, (height + caption_height) / dpi), dpi=dpi)
    FigureCanvasAgg(figure)
    axes = figure.add_axes((0, caption_height / (height + caption_height), 1, height / (height + caption_height)))
    axes.imshow(image, interpolation="nearest")
    axes.set_axis_off()
    if caption:
        figure.text(
            0.5,
            0.5 * caption_height / (height + caption_height),
            caption,
            ha="center",
            va="center",
            fontsize=10,
            color="#333333",
        )
    figure.patch.set_facecolor(BACKGROUND / 255)
    with atomic_file(path) as stream:
        figure.savefig(stream, format="png", dpi=dpi, facecolor=figure.get_facecolor())
