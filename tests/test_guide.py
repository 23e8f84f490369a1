"""The user guide's block-wise example, run as printed: blocks give the whole volume's surfaces."""

import re
from pathlib import Path

import numpy as np
import pytest
from tarna_mesh import Mesher, demo

GUIDE = Path(__file__).parent.parent / "docs" / "guide.md"


def guide_example():
    [code] = [
        block for block in re.findall(r"```python\n(.*?)```", GUIDE.read_text(), re.S) if "mesh_in_blocks" in block
    ]
    namespace = {}
    exec(compile(code, str(GUIDE), "exec"), namespace)
    return namespace["mesh_in_blocks"]


def triangle_rows(pieces):
    """Every triangle as its nine coordinates, sorted: a surface independent of vertex numbering."""
    rows = np.concatenate([vertices[faces].reshape(-1, 9) for vertices, faces in pieces])
    return rows[np.lexsort(rows.T[::-1])]


@pytest.mark.parametrize("shape, tile", [((40, 40, 40), 16), ((23, 9, 31), 7)])
def test_blocks_give_the_surfaces_of_the_whole_volume(shape, tile):
    rng = np.random.default_rng(sum(shape))
    labels = demo.sample_volume(max(shape), 60)[: shape[0], : shape[1], : shape[2]]
    labels[rng.random(shape) < 0.02] = 61  # scattered single voxels: edge and corner contacts
    resolution = (0.5, 3.0, 1.25)
    whole = Mesher(threads=1)
    whole.mesh(labels)
    blocks = guide_example()(labels, tile=tile, voxel_resolution=resolution)
    assert sorted(blocks) == whole.ids().tolist()
    for label, pieces in blocks.items():
        vertices, faces, _ = whole.get(label)
        expected = triangle_rows([(vertices * np.float32(resolution), faces)])
        np.testing.assert_array_equal(triangle_rows(pieces), expected)


def test_one_voxel_of_overlap_loses_faces():
    labels = demo.sample_volume(24, 20)
    kept = []
    for overlap in (1, 2):
        mesher = Mesher(threads=1)
        mesher.mesh(labels[: 12 + overlap, : 12 + overlap, : 12 + overlap], owned_shape=(12, 12, 12))
        kept.append(sum(len(mesher.get(label)[1]) for label in mesher.ids().tolist()))
    assert kept[0] < kept[1]
